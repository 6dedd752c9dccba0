// The signer parameter block that every command acting with the user's
// private key takes, and the signer location: from it, find the signer's
// certificate and private key (on a hardware key token, in bytes sent by the
// page, or through the certificate list and the key search) and the crypto
// library to use.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <tinyxml2.h>

#include "discovery/keys/TokenSessions.h"
#include "platform/SecureWipe.h"
#include "provider/Operations.h"

namespace zk {

// A password parameter: Base64 of the UTF-8 password, with the attribute
// Preserve. Empty elements count as absent.
struct PasswordParam {
    bool present = false;
    SecretString text;  // Windows-1251
    bool preserve = false;
};
PasswordParam ReadPasswordParam(const tinyxml2::XMLElement* params, const char* name = "Pass");

// Which optional parameters a command reads into the block.
enum SignerFields : unsigned {
    kSignerWithLib = 1,  // Lib (SET_EXTERNAL_SIGN takes the library from the certificate)
};

struct SignerParams {
    std::string lib;     // "QLB", "USC" or "UA1"; empty: chosen by the location
    std::string drfo;    // Windows-1251; matches a certificate's DRFO or EDRPOU
    int32_t type = -1;   // certificate type, -1 any
    std::string serial;  // the certificate's key identifier
    PasswordParam pass;
    std::optional<std::vector<uint8_t>> senderCert;
    std::optional<SecretBytes> senderKey;
    std::string dongleProvider;  // Windows-1251
    int32_t dongleSlot = 0;
    // Callers that also know the certificate's IssuerSN and SN (the recipient
    // search) require them exactly; the signing commands leave them empty.
    std::string issuerSN, sn;
    // Certificates named by their identifiers (an envelope's recipients):
    // when not empty, a certificate must also be one of them (each of its
    // Serial, IssuerSN and SN that is not empty equal to the record's).
    struct CertIds {
        std::string serial, issuerSN, sn;
    };
    std::vector<CertIds> oneOf;

    // SenderCert with SenderSK or a token, or DRFO, or Serial.
    bool Sufficient() const;
};

// Reads the block from Params (names without regard to case, the later
// occurrence winning; empty elements count as absent).
SignerParams ReadSignerParams(const tinyxml2::XMLElement* params, unsigned fields = kSignerWithLib);

// What the location found. A token key is let go of when the location is
// dropped (disconnected, unless its session is kept: TokenSessions.h).
class SignerLocation {
public:
    SignerLocation() = default;
    SignerLocation(SignerLocation&&) noexcept;
    SignerLocation& operator=(SignerLocation&&) noexcept;
    SignerLocation(const SignerLocation&) = delete;
    SignerLocation& operator=(const SignerLocation&) = delete;
    ~SignerLocation();

    int code = 0;
    int detail = -1;  // detail value of the key search, -1 none
    std::vector<uint8_t> cert;
    SecretBytes key;             // the key file's bytes, or of its one key
    TokenSessionPtr token;       // a connected token key instead of key bytes (perhaps a kept session)
    provider::OpenedKeyPtr opened;  // or the key open in the provider (its check opened it, or it was kept)
    int32_t libIndex = -1;
    SecretString password;       // Windows-1251: the one the key opened with

    // The key argument of the provider's operations.
    provider::KeyRef Key() const {
        if (!token && opened) return opened->ref();
        return {key.bytes(), token ? token->handle() : ZKTokenKey{0}};
    }

    // Lets go of the token key (before the answer is built).
    void DisconnectToken();
};

// Locates the signer: the token when DongleProviderName is given, else the
// page's bytes when SenderCert and SenderSK are given, else the certificate
// list (DRFO, Serial, Type). code 0 on success.
SignerLocation LocateSigner(const SignerParams& params);

// The certificate-only search: the first certificate of the certificate list
// that passes the Type, DRFO and Serial constraints, its file's bytes into
// cert (no key is looked for). 0, or 52 when none passes or its file cannot
// be read.
int FindCertificateOnly(const SignerParams& params, std::vector<uint8_t>& cert);

// The index of the crypto library with this code; ZK_E_PROVIDER_NOT_SUPPORTED when
// the provider does not offer it.
int SelectOfferedLibrary(const std::string& code, int32_t& libIndex);

}  // namespace zk
