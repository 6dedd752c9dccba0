// The opening of protected documents (OpenProtectedData): transport headers
// removed, envelopes decrypted with the user's key, signatures checked and
// removed, timestamps removed, text forms unwrapped and packed texts
// unpacked, layer by layer, until the data is of no kind the system peels.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/RequestDocument.h"
#include "commands/signer/SignerLocator.h"
#include "provider/Operations.h"

namespace zk {

// Bytes of one layer, owned as read from the request, as a provider output
// or as unpacked text, and the part of them still to be peeled. Wiped when
// released if they may hold a secret.
class DocumentBuffer {
public:
    DocumentBuffer() = default;
    DocumentBuffer(std::vector<uint8_t> bytes, bool secret);
    explicit DocumentBuffer(provider::Output output);
    // The request's document (TakeRequestDocument): its memory wipes itself.
    explicit DocumentBuffer(SharedBytes bytes);
    DocumentBuffer(DocumentBuffer&& other) noexcept;
    DocumentBuffer& operator=(DocumentBuffer&& other) noexcept;
    DocumentBuffer(const DocumentBuffer&) = delete;
    DocumentBuffer& operator=(const DocumentBuffer&) = delete;
    ~DocumentBuffer() { Release(); }

    std::span<const uint8_t> view() const { return {data_, size_}; }
    std::span<uint8_t> mutableView() { return {data_, size_}; }
    bool held() const { return vector_.data() || output_.data() || shared_.data(); }
    // What is left after a header was read: rest lies inside view().
    void Keep(std::span<const uint8_t> rest);
    void Resize(size_t size) { size_ = size < size_ ? size : size_; }
    // What the buffer holds from now on is a secret, whatever holds it: it is
    // wiped when released.
    void MarkSecret() { secret_ = true; }
    void Release();
    // What is left to peel, handed over with what holds it (to an answer that
    // carries it by reference); this buffer is empty afterwards.
    SharedBytes Share();

private:
    std::vector<uint8_t> vector_;
    provider::Output output_;
    SharedBytes shared_;
    bool secret_ = false;
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// A document from its Base64 text, decoded into memory that is not cleared
// first (it may be as large as the request allows).
DocumentBuffer DecodeDocument(const char* data);

// One recipient a failed opening reports: its certificate (may be empty),
// SK (its Serial), SN and IS (IssuerSN), Windows-1251.
struct RecipientEntry {
    std::vector<uint8_t> cert;
    std::string sk, sn, is;
};

struct OpenRequest {
    // The user's own certificate and key bytes (SenderCert, RecipientSK or
    // SenderSK) and the key locator's inputs (DRFO, Type, Serial, Pass,
    // Preserve, token provider and slot).
    SignerParams key;
    std::optional<std::vector<uint8_t>> recipientCert;  // RecipientCert
    bool signedLayer = false;          // stop at the signed document
    bool keepTransportHeader = false;  // wrap the result in the last transport header met
    bool wantSigners = false;
    bool wantRecipients = false;
};

struct OpenResult {
    int code = 0;
    int detail = -1;  // detail value of the key location
    DocumentBuffer data;
    std::vector<std::vector<uint8_t>> signers;  // signer certificates, in the order met
    std::vector<RecipientEntry> recipients;     // after a failure on an envelope
};

OpenResult OpenProtectedData(DocumentBuffer data, OpenRequest request);

}  // namespace zk
