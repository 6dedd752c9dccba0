// The provider's operations as the commands and the discovery call them: a
// single call through Invoke (provider/Invoke.h, included here), and a named
// function for each operation that is more than one call (written per family
// in this folder's *Operations.cpp files). Each call
// - answers kMissingOperation (ZK_E_PROVIDER_NOT_SUPPORTED) when the
//   provider does not offer the operation or did not load;
// - refuses an input too large for the contract's 32-bit lengths with
//   ZK_E_BAD_REQUEST_PARAMS instead of cutting its length;
// - sizes a variable output with the two-call pattern into an owned Output,
//   wiped when it may hold a secret;
// - given a Site, writes "Before <operation>" and "After <operation>,
//   Return: %d" under the caller's function and source name.
// The binding itself (provider/Provider.h) is for start-up and this folder.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/RequestDocument.h"
#include "platform/Memory.h"
#include "platform/SecureWipe.h"
#include "provider/Invoke.h"
#include "provider/ZelkorD.h"

namespace zk::provider {

// A private key the provider keeps open (ZKLCTX_OpenKey): it stands for the
// key in every operation (ref()) until its last holder lets it go; the
// provider then closes it and clears its memory.
class OpenedKey {
public:
    explicit OpenedKey(ZKTokenKey handle) : handle_(handle) {}
    OpenedKey(const OpenedKey&) = delete;
    OpenedKey& operator=(const OpenedKey&) = delete;
    ~OpenedKey();
    KeyRef ref() const { return {{}, handle_}; }

private:
    ZKTokenKey handle_;
};
using OpenedKeyPtr = std::shared_ptr<const OpenedKey>;

// An output block of the provider, owned by the caller. Not zero-filled
// before the provider writes it (it may be as large as the document); wiped
// when released if the operation's output may hold a secret.
class Output {
public:
    Output() = default;
    Output(Output&& other) noexcept;
    Output& operator=(Output&& other) noexcept;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output() { Release(); }

    const uint8_t* data() const { return bytes_.get(); }
    uint8_t* data() { return bytes_.get(); }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    ByteView view() const { return {bytes_.get(), size_}; }
    void Release();

    // For the façade: room for the provider to write into, and what it wrote.
    uint8_t* Allocate(size_t capacity, bool secret);
    void SetSize(size_t size);

private:
    LargeBlock bytes_;
    size_t capacity_ = 0;
    size_t size_ = 0;
    bool secret_ = false;
};
// An output handed over with what keeps it (to an answer that carries it by
// reference): freed, and wiped if it holds a secret, when its last holder goes.
SharedBytes Shared(Output&& out);

// --- the crypto library table (slots 8, 10, 11, 12); without a methods
// table a library is never loaded, an identity or index is -1.
bool IsLibraryLoaded(const char* code);
int SelectLibrary(const char* code);          // index, or -1
int LibraryIdentityByIndex(int libIndex);     // -1 when unknown
int LibraryIdentityByCode(const char* code);  // -1 when unknown

// --- where the provider looks for certificates an operation names but does
// not carry (ZKLSVC_SetCertSource; null: nowhere beyond the profiles' CACert).
void SetCertSource(ZKCertSource source);

// --- the provider's last error, read safely when the provider is absent.
void ResetLastError();
int LastErrorCode();
std::string LastErrorMessage();

// Into a fixed buffer: scratch's size on entry is the room; cut to what was
// written. An empty scratch asks only whether the key re-encrypts (its
// length is learnt, nothing is copied out), whatever size it comes to.
int ChangeKeyPassword(const Site& site, const char* oldPass, ByteView key, const char* newPass,
                      SecretBytes& scratch);
struct KeyIds {
    std::string id1, id2;  // empty where the file holds no such key
};
int GetSubjectKeyIdentifier(const Site& site, ByteView key, const char* pass, KeyIds& ids);
int GetRandomBlock(const Site& site, std::span<uint8_t> out);
struct AcquiredKeys {
    SecretBytes key1, key2;  // each key alone as a key file
    KeyIds ids;
};
int AcquireKey(const Site& site, ByteView keyFile, const char* pass, AcquiredKeys& keys);
int DonglesEnumTokenKeys(const Site& site, ZKTokenKey token, std::vector<TokenKey>& keys);

// --- hardware tokens: listing and management
int DonglesEnumTokens(const Site& site, std::vector<TokenInfo>& tokens);
int DonglesEnumNamedKeys(const Site& site, ZKTokenKey token, std::vector<std::string>& names);
// The provider's text for a token record (empty when it gives none).
std::string DonglesTokenOID(const TokenInfo& token);
int DonglesEnumFiles(const Site& site, ZKTokenKey token, std::vector<std::string>& names);
// An empty file is answered by the sizing call alone. Output: wiped (a token file may hold a secret).
int DonglesGetFile(const Site& site, ZKTokenKey token, const char* name, Output& file);

// --- certificate requests: new keys and their PKCS#10 requests. The
// provider writes each new key's identifier into its subject record.
struct CertRequestOutputs {
    Output keyContainer;  // secret: wiped
    Output request1, request2;
};
int CreateSimpleCertRequest(const Site& site, const char* pass, CertRequestSubject& subject1,
                            CertRequestSubject* subject2, CertRequestOutputs& out);
// Logged as "CreateSimpleCertRequest" both.
int DonglesCreateSimpleCertRequest(const Site& site, const char* pin, const char* providerName, int32_t slotId,
                                   const char* text2, const char* text3, CertRequestSubject& subject1,
                                   CertRequestSubject* subject2, CertRequestOutputs& out);

// Output: the result (secret when decrypting).
int LibSymmetric(const Site& site, int32_t lib, ByteView data, ByteView key, int32_t mode, Output& out);
// The same pair check of key bytes, keeping the key open when it passes
// (ZKLCTX_OpenKey): one opening serves the check and the operations after
// it. Logged as "CheckKeyPair". Where the provider cannot keep keys open (or
// does not know lib) it is the plain check, and 0 comes without a key.
int LibOpenKeyPair(const Site& site, int32_t lib, ByteView key, ByteView cert, const char* pass,
                   OpenedKeyPtr& opened);

// --- signed containers (ZKLCTX_). Outputs are sized with two calls unless
// said otherwise; a signer's key is a KeyRef, its password a text.
struct SignerRef {
    ByteView cert;
    KeyRef key;
    const char* pass = "";
};
// ZKLCTX_CreateContainer (content kept) or ZKLCTX_CreateContainerExt.
int CtxCreateContainer(const Site& site, bool keepContent, ByteView document, const SignerRef& signer,
                       const AdditionalAttributes& attrs, Output& container);
// Sized with ZKLCTX_AddSignature; made with it, or with ZKLCTX_AddSignatureExt
// when content is given (a container without content).
int CtxAddSignature(const Site& site, ByteView container, const ByteView* content, const SignerRef& signer,
                    const AdditionalAttributes& attrs, Output& result);
int CtxMergeSignedData(const Site& site, bool checkHash, std::span<const ByteView> containers, Output& result);
// One signature described; the record's pieces point into work, which the
// call makes as large as the container (called once).
struct ContainerDescription {
    ContainerInfo info{};
    std::unique_ptr<uint8_t[]> work;
};
int CtxGetContainerInfo(const Site& site, ByteView container, int32_t signIndex, ContainerDescription& out);
// Every signature described (count, then the records), sharing one work buffer.
struct ContainerDescriptions {
    std::vector<ContainerInfo> infos;
    std::unique_ptr<uint8_t[]> work;
};
int CtxGetContainerInfos(const Site& site, ByteView container, ContainerDescriptions& out);
// One code per signature, in container order (room for ZK_VERIFY_MAX_RESULTS);
// with content, over that content (ZKLCTX_VerifyExternal).
int CtxVerify(const Site& site, ByteView container, const ByteView* content, std::vector<int32_t>& results);
// Into a buffer of ZK_KEY_BUFFER_SIZE bytes (called once).
int CtxGetSignedDataCertificate(const Site& site, ByteView container, int32_t index, std::vector<uint8_t>& cert);
// Into a buffer of ZK_KEY_BUFFER_SIZE bytes (called once): the hash named by
// algOid (ZKLCTX_HashDataAlg) when it is not empty, else the default hash or
// the certificate's (ZKLCTX_HashData).
int CtxHash(const Site& site, ByteView document, const std::string& algOid, ByteView cert,
            std::vector<uint8_t>& hash);
// --- envelopes and key stores of the container family (ZKLCTX_)
// ZKLCTX_EncryptDataForRecipients. Output: the envelope.
int CtxEncryptData(const Site& site, ByteView document, const SignerRef& sender,
                   const std::vector<ByteView>& recipientCerts, Output& envelope);
// The same, the envelope built in the document's own memory when its room
// holds it (the document is moved up by the envelope's overhead first, and
// the envelope written from its old start over it): no second block the
// size of the document. Else into memory of its own. What remains of the
// document is wiped either way.
int CtxEncryptDataInPlace(const Site& site, SharedBytes& document, const SignerRef& sender,
                          const std::vector<ByteView>& recipientCerts, SharedBytes& envelope);
// ZKLCTX_DecryptData; originatorCert may be empty. Output: the plaintext (secret).
int CtxDecryptData(const Site& site, ByteView envelope, const KeyRef& key, const char* pass, ByteView originatorCert,
                   ByteView recipientCert, Output& plain);
// Into a buffer of ZK_KEY_BUFFER_SIZE bytes (called once).
int CtxGetOriginatorCertificate(const Site& site, ByteView envelope, int32_t index, std::vector<uint8_t>& cert);
// The count, then one zeroed record per recipient, in envelope order.
int CtxEnumerateRecipients(const Site& site, ByteView envelope, std::vector<ProviderCertInfo>& infos);
// Three calls: the count, each certificate's length, the certificates. pass may
// be null: no password given (the certificates are listed unchecked).
int CtxGetCertsFromStore(const Site& site, ByteView store, bool onlyUserCerts, const char* pass,
                         std::vector<std::vector<uint8_t>>& certs);
// Three calls: the counts, the keys' lengths (and the names), the keys.
// keys: key files (secret); unprocessed: the names of the certificates the
// store gave no key for.
int CtxGetKeysFromStore(const Site& site, ByteView store, const char* pass, const std::vector<ByteView>& certs,
                        std::vector<SecretBytes>& keys, std::vector<std::string>& unprocessed);

// --- timestamps, OCSP, CMP and validation data. The network operations are
// called once (no size query) and block for at most their time-out.
// Where a network operation goes, handed to the provider unchanged: the
// server string (address and proxy suffix), the port and the time-out.
// The rule (ZK_NET_ flags) is handed to the provider for the one call; a
// provider that takes no rule is not called with one (kMissingOperation).
struct ServiceTarget {
    SecretString server;  // may carry a proxy password
    int32_t port = 0;
    int32_t timeout = 1;
    int32_t rule = 0;     // ZK_NET_PUBLIC_ONLY, ZK_NET_PLAIN_ERRORS
};
// A timestamp and its record; the record's certificate buffer (10240 bytes)
// belongs to this object.
struct TimestampOutcome {
    std::vector<uint8_t> response;  // the response, or the container with the timestamp added
    TimestampInfo info{};
    std::vector<uint8_t> certBuffer;
    int32_t socketError = 0;
    // The service's certificate (empty when the record holds none).
    ByteView TsaCert() const { return {certBuffer.data(), std::min<size_t>(info.CertLength, certBuffer.size())}; }
};
// Into a response buffer of 10240 bytes.
int CtxRequestTimestamp(const Site& site, ByteView data, ByteView cert, const ServiceTarget& target,
                        TimestampOutcome& out);
// Into a buffer of the container's length plus 10240 bytes.
int CtxAddTimestamp(const Site& site, ByteView container, int32_t signIndex, ByteView cert,
                    const ServiceTarget& target, TimestampOutcome& out);
int CtxGetTimestampInfo(const Site& site, ByteView response, TimestampOutcome& out);
// An OCSP response with its record and one status entry per certificate.
struct OcspOutcome {
    std::vector<uint8_t> response;
    OcspInfo info{};
    std::vector<OcspCertStatus> statuses;
    int32_t socketError = 0;
};
// The requester's certificate and key may be empty (an unsigned request);
// responseCapacity is the size of the response buffer handed over.
int CtxRequestOCSP(const Site& site, std::span<const ByteView> certs, ByteView requesterCert, const KeyRef& key,
                   const char* pass, const ServiceTarget& target, size_t responseCapacity, OcspOutcome& out);
// With room for ZK_OCSP_MAX_STATUSES entries; statuses holds as many as the response has.
int CtxGetOCSPResponseInfo(const Site& site, ByteView response, OcspOutcome& out);
// Certificates by subject key identifier (hex text), up to `slots` of them,
// each into a buffer of ZK_KEY_BUFFER_SIZE bytes.
int CtxRequestCMP(const Site& site, const std::string& keyId1, const std::string& keyId2, bool acquireChain,
                  int32_t slots, const ServiceTarget& target, std::vector<std::vector<uint8_t>>& certs,
                  int32_t& socketError);
// One object of validation data: a certificate with its CRLs and OCSP
// responses (at most ZK_COMPLETE_MAX_ITEMS of each are passed).
struct ValidationObject {
    ByteView cert;
    std::vector<ByteView> crls, ocsps;
};
int CtxSetCompleteInfo(const Site& site, ByteView container, int32_t signIndex,
                       std::span<const ValidationObject> objects, Output& result);
// --- protected documents: envelopes, signatures, timestamps, text forms
// The crypto library entry's "prefix the sender certificate" flag (offset
// 152 of the table entry); false for an index outside the loaded libraries.
bool LibraryNeedsSenderCert(int libIndex);
// The code name of a loaded crypto library ("USC", "QLB", "UA1"); empty when unknown.
std::string LibraryCode(int libIndex);
// The provider's kind of a block (slot 5) and the index of the library that
// made it (-1 when none); 0 when not recognised or without a provider. Not
// logged: it runs once per layer.
int DetectBlock(ByteView data, int32_t* libIndex);
// Slot 16. Outputs: the content (secret), the first signer's certificate.
int LibRemoveSignature(const Site& site, int32_t lib, ByteView data, Output& content, Output& signerCert);
// The same, the content moved to the start of data where it lies (data is
// then the content's, contentLength long): no second block for it.
int LibRemoveSignatureInPlace(const Site& site, int32_t lib, std::span<uint8_t> data, size_t& contentLength,
                              Output& signerCert);
int LibEncryptMany(const Site& site, int32_t lib, ByteView data, const std::vector<ByteView>& recipientCerts,
                   const KeyRef& key, ByteView senderCert, const char* pass, Output& out);
// Slot 22: a text form unwrapped in place; size becomes the decoded size.
int Unwrap(const Site& site, std::span<uint8_t> data, size_t& size);
// Slot 50: each recipient's certificate as the envelope carries it (empty where it does not).
int RecipientCerts(const Site& site, ByteView envelope, std::vector<std::vector<uint8_t>>& certs);
// Slot 53: what the envelope tells of each recipient.
int RecipientInfos(const Site& site, ByteView envelope, std::vector<ProviderCertInfo>& infos);

// The page cipher of slots 37 to 39, never logged: it runs for every unit of
// database I/O. Transforms data in place with a fresh context (key, 8-byte IV).
bool HasPageCipher();
int PageCipherTransform(int32_t lib, ByteView key, const uint8_t (&iv)[8], std::span<uint8_t> data);

}  // namespace zk::provider

// The caller's function and source for the log lines of a provider call.
#define ZK_SITE(function) (::zk::provider::Site{function, __FILE__, __LINE__, nullptr})
#define ZK_SITE_AS(function, operation) (::zk::provider::Site{function, __FILE__, __LINE__, operation})
