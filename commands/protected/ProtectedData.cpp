#include "commands/protected/ProtectedData.h"

#include <cstring>
#include <utility>

#include "base/CBase64.h"
#include "base/Log.h"
#include "base/RequestContext.h"
#include "base/Settings.h"
#include "discovery/CertListFunc.h"
#include "commands/protected/PackedXml.h"
#include "commands/protected/TransportHeaders.h"
#include "platform/SecureWipe.h"

namespace zk {

// --- DocumentBuffer

DocumentBuffer::DocumentBuffer(std::vector<uint8_t> bytes, bool secret)
    : vector_(std::move(bytes)), secret_(secret), data_(vector_.data()), size_(vector_.size()) {}

DocumentBuffer::DocumentBuffer(provider::Output output)
    : output_(std::move(output)), data_(output_.data()), size_(output_.size()) {}

DocumentBuffer::DocumentBuffer(SharedBytes bytes)
    : shared_(std::move(bytes)), data_(shared_.mutableView().data()), size_(shared_.size()) {}

DocumentBuffer::DocumentBuffer(DocumentBuffer&& other) noexcept { *this = std::move(other); }

DocumentBuffer& DocumentBuffer::operator=(DocumentBuffer&& other) noexcept {
    if (this != &other) {
        Release();
        vector_ = std::move(other.vector_);
        output_ = std::move(other.output_);
        shared_ = std::move(other.shared_);
        secret_ = other.secret_;
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

void DocumentBuffer::Keep(std::span<const uint8_t> rest) {
    data_ = data_ + (rest.data() - data_);  // rest lies inside the held bytes
    size_ = rest.size();
}

void DocumentBuffer::Release() {
    if (secret_ && data_) SecureWipe(data_, size_);
    if (secret_) SecureWipe(vector_);
    std::vector<uint8_t>().swap(vector_);
    output_.Release();  // wipes itself when it holds a secret
    shared_.Release();
    data_ = nullptr;
    size_ = 0;
}

SharedBytes DocumentBuffer::Share() {
    uint8_t* data = data_;
    const size_t size = size_;
    auto owner = std::make_shared<DocumentBuffer>(std::move(*this));  // the bytes stay where they are
    return SharedBytes(std::move(owner), data, size);
}

// The request's document, decoded where it was received.
DocumentBuffer DecodeDocument(const char* data) { return DocumentBuffer(TakeRequestDocument(data)); }

namespace {

using ByteSpan = std::span<const uint8_t>;

// Deeper nesting than this is refused as damaged: every layer must be
// peeled in bounded time, whatever the block.
constexpr size_t kMaxLayers = 64;
constexpr size_t kTimestampCertRoom = ZK_KEY_BUFFER_SIZE;

#define OPEN_SITE ZK_SITE("OpenProtectedData")
#define OPEN_SITE_AS(operation) ZK_SITE_AS("OpenProtectedData", operation)

std::string FieldText(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

RecipientEntry EntryOf(const ProviderCertInfo& info) {
    RecipientEntry e;
    e.sk = FieldText(info.Serial, sizeof info.Serial);
    e.sn = FieldText(info.SN, sizeof info.SN);
    e.is = FieldText(info.IssuerSN, sizeof info.IssuerSN);
    return e;
}

class Opening {
public:
    explicit Opening(OpenRequest request) : req_(std::move(request)) {}

    OpenResult Run(DocumentBuffer data) {
        cur_ = std::move(data);
        int code = OuterHeaders();
        if (code == 0 && req_.recipientCert && ClassifyTag(cur_.view()) == kTagCertCrypt) code = DirectDecrypt();
        if (code == 0) code = Peel();
        // Nothing held beyond the operation: the sender certificate, a token key.
        sender_.clear();
        key_.DisconnectToken();
        result_.code = code;
        if (code != 0) {
            if (overwritten_)
                result_.recipients = std::move(*overwritten_);
            else if (req_.wantRecipients)
                FillRecipients(cur_.view());
            cur_.Release();
            keptSigned_.Release();
            return std::move(result_);
        }
        result_.data = keptSigned_.held() ? std::move(keptSigned_) : std::move(cur_);
        if (req_.keepTransportHeader && keptBody_) {
            result_.data = DocumentBuffer(WrapTransportable(*keptBody_, result_.data.view()), true);
        }
        return std::move(result_);
    }

private:
    // Step 1: "ZPOSTTRANSPORTABLE", then "TRANSPORTABLE" (its body kept).
    int OuterHeaders() {
        if (ClassifyTag(cur_.view()) == kTagZPostTransportable)
            if (int code = SkipHeader(ReadZPostTransportable, false)) return code;
        if (ClassifyTag(cur_.view()) == kTagTransportable)
            if (int code = SkipHeader(ReadTransportable, true)) return code;
        return ZK_E_OK;
    }

    int SkipHeader(int (*read)(ByteSpan&, ByteSpan&), bool keepsBody) {
        ByteSpan cursor = cur_.view(), body;
        if (int code = read(cursor, body)) return code;
        if (keepsBody && req_.keepTransportHeader) keptBody_.emplace(body.begin(), body.end());
        cur_.Keep(cursor);
        result_.signers.clear();
        return ZK_E_OK;
    }

    // The user's own certificate given for a block behind a sender
    // certificate header: its key (by DRFO and Serial, the certificate's
    // own Serial when none is given, or on the token) opens the block at once.
    int DirectDecrypt() {
        const std::vector<uint8_t>& cert = *req_.recipientCert;
        ProviderCertInfo info{};
        std::vector<std::string> eku;
        if (int code = ReadCertInfo(cert.data(), cert.size(), info, eku, OPEN_SITE)) return code;
        SignerParams& p = req_.key;
        if (!p.dongleProvider.empty()) p.senderCert = cert;
        if (p.serial.empty()) p.serial = FieldText(info.Serial, sizeof info.Serial);
        keyTried_ = true;
        key_ = LocateSigner(p);
        result_.detail = key_.detail;
        if (key_.code) return key_.code;
        // What a layer decrypts is no longer than its envelope.
        if (!ChargeRequestOutput(cur_.view().size())) return ZK_E_DAMAGED;
        provider::Output plain;
        if (int code = provider::Invoke<ZK_EXPORT(ZKLUA1_Decrypt)>(OPEN_SITE_AS("UA1Decrypt"), cur_.view(), key_.Key(),
                                                                   key_.password.c_str(), cert, provider::Secret(plain)))
            return code;
        cur_ = DocumentBuffer(std::move(plain));
        return ZK_E_OK;
    }

    // Step 2, when the first envelope needs the key: the page's bytes, else
    // the envelope's recipients in its order (when neither DRFO nor Serial
    // is given), else DRFO and Serial. A document without an envelope never
    // asks for the key.
    void LocateKey(ByteSpan envelope) {
        keyTried_ = true;
        SignerParams& p = req_.key;
        if (p.senderCert && p.senderKey && p.dongleProvider.empty()) {
            key_ = LocateSigner(p);
        } else {
            bool found = false;
            if (p.drfo.empty() && p.serial.empty()) {
                std::vector<ProviderCertInfo> infos;
                if (provider::RecipientInfos(OPEN_SITE, envelope, infos) == 0) {
                    for (const ProviderCertInfo& info : infos) {
                        RecipientEntry id = EntryOf(info);
                        p.serial = id.sk;
                        p.issuerSN = id.is;
                        p.sn = id.sn;
                        key_ = LocateSigner(p);
                        if ((found = key_.code == 0)) break;
                    }
                    p.serial.clear();
                    p.issuerSN.clear();
                    p.sn.clear();
                }
            }
            if (!found) key_ = LocateSigner(p);
        }
        result_.detail = key_.detail;
    }

    int Envelope(ByteSpan view, int32_t lib) {
        keptSigned_.Release();
        if (!keyTried_) LocateKey(view);
        if (key_.code) return key_.code;
        if (provider::LibraryNeedsSenderCert(lib) && sender_.empty()) return ZK_E_NO_SENDER_BEFORE_ENCRYPTED;
        if (view.size() < kAttachFrom) {  // a small one: into a block of its own
            if (!ChargeRequestOutput(view.size())) return ZK_E_DAMAGED;
            provider::Output plain;
            if (int code = provider::Invoke<ZK_METHOD(ZKLD_SLOT_DECRYPT)>(
                    OPEN_SITE, lib, view, provider::Secret(plain), sender_, key_.cert, key_.Key(),
                    key_.password.c_str()))
                return code;
            cur_ = DocumentBuffer(std::move(plain));
        } else {
            // A large one's plaintext takes the envelope's place (the provider
            // reads ahead of what it writes); a failure is answered with the
            // recipients of the envelope as it was.
            if (req_.wantRecipients) {
                FillRecipients(view);
                overwritten_ = std::move(result_.recipients);
                result_.recipients.clear();
            }
            provider::Overwrite place{cur_.mutableView()};
            cur_.MarkSecret();
            if (int code = provider::Invoke<ZK_METHOD(ZKLD_SLOT_DECRYPT)>(OPEN_SITE, lib, view, place, sender_,
                                                                          key_.cert, key_.Key(), key_.password.c_str()))
                return code;
            overwritten_.reset();
            cur_.Resize(place.written);
        }
        result_.signers.clear();
        return ZK_E_OK;
    }

    int Signed(ByteSpan view, int32_t lib) {
        provider::Output signer;
        if (req_.signedLayer && !keptSigned_.held()) {  // the signed layer stays whole: the content gets its own block
            provider::Output content;
            if (int code = provider::LibRemoveSignature(OPEN_SITE, lib, view, content, signer)) return code;
            keptSigned_ = std::move(cur_);
            cur_ = DocumentBuffer(std::move(content));
        } else {  // the content moves to the start of the block it lies in
            size_t length = 0;
            if (int code = provider::LibRemoveSignatureInPlace(OPEN_SITE, lib, cur_.mutableView(), length, signer))
                return code;
            cur_.Resize(length);
            cur_.MarkSecret();
        }
        if (req_.wantSigners) result_.signers.emplace_back(signer.data(), signer.data() + signer.size());
        return ZK_E_OK;
    }

    int Timestamped(ByteSpan view) {
        std::vector<uint8_t> tsaCert(kTimestampCertRoom);
        TimestampInfo info{};
        info.CertBuffer = tsaCert.data();
        info.CertLength = static_cast<uint32_t>(tsaCert.size());
        if (int code = provider::Invoke<ZK_METHOD(ZKLD_SLOT_TIMESTAMP_READ)>(OPEN_SITE, view, &info)) return code;
        provider::Output content;
        if (int code = provider::Invoke<ZK_METHOD(ZKLD_SLOT_TIMESTAMP_REMOVE)>(OPEN_SITE, view, content)) return code;
        cur_ = DocumentBuffer(std::move(content));
        result_.signers.clear();
        keptSigned_.Release();
        return ZK_E_OK;
    }

    int TextForm() {
        size_t size = 0;
        if (int code = provider::Unwrap(OPEN_SITE, cur_.mutableView(), size)) return code;
        cur_.Resize(size);
        result_.signers.clear();
        keptSigned_.Release();
        return ZK_E_OK;
    }

    int Packed(ByteSpan view) {
        uint32_t declared = 0;
        ByteSpan packed;
        if (ReadPackedXmlHeader(view, declared, packed) != 0) return ZK_E_DAMAGED;
        const std::optional<uint64_t> size = PackedTextSize(packed);
        if (!size || *size == 0) return ZK_E_DAMAGED;
        if (!ChargeRequestOutput(*size)) return ZK_E_DAMAGED;
        std::vector<uint8_t> text;
        if (UnpackPackedXml(packed, declared, *size, text) != 0) return ZK_E_DAMAGED;
        text.push_back(0);
        cur_ = DocumentBuffer(std::move(text), true);
        keptSigned_.Release();
        result_.signers.clear();
        return ZK_E_OK;
    }

    // Step 3: one layer after another until a step fails or the kind is not peeled.
    int Peel() {
        for (size_t layer = 0;; ++layer) {
            const ByteSpan view = cur_.view();
            int32_t lib = -1;
            const int type = DetectBlock(view, &lib);
            if (type != 0 && (layer >= kMaxLayers || RequestCancelled())) return ZK_E_DAMAGED;
            int code = ZK_E_OK;
            switch (type) {
                case kTagTransportable:
                    code = SkipHeader(ReadTransportable, true);
                    keptSigned_.Release();
                    break;
                case kTagZPostTransportable:
                    code = SkipHeader(ReadZPostTransportable, false);
                    keptSigned_.Release();
                    break;
                case kTagCertCrypt: {
                    ByteSpan cursor = view, cert;
                    if ((code = ReadCertCrypt(cursor, cert)) == 0) {
                        sender_.assign(cert.begin(), cert.end());
                        cur_.Keep(cursor);
                    }
                    break;
                }
                case kTagPackedXml:
                    code = Packed(view);
                    break;
                case ZK_BLOCK_ENVELOPE:
                    code = Envelope(view, lib);
                    break;
                case ZK_BLOCK_SIGNED:
                    code = Signed(view, lib);
                    break;
                case ZK_BLOCK_TIMESTAMPED:
                    code = Timestamped(view);
                    break;
                case ZK_BLOCK_PEM:
                case ZK_BLOCK_BASE64:
                    code = TextForm();
                    break;
                default:
                    return ZK_E_OK;  // not a kind that is peeled: the data stays as it is
            }
            if (code) return code;
        }
    }

    // Step 5: whom a document that did not open was encrypted for.
    void FillRecipients(ByteSpan data) {
        int32_t lib = -1;
        if (DetectBlock(data, &lib) != ZK_BLOCK_ENVELOPE) return;
        std::vector<RecipientEntry>& list = result_.recipients;
        list.clear();
        std::vector<ProviderCertInfo> infos;
        const bool described = provider::RecipientInfos(OPEN_SITE, data, infos) == 0;
        std::vector<std::vector<uint8_t>> certs;
        if (provider::RecipientCerts(OPEN_SITE, data, certs) == 0) {
            for (size_t i = 0; i < certs.size(); ++i) {
                // A recipient whose certificate the envelope lacks is named by its identifier.
                RecipientEntry e = certs[i].empty() && described && i < infos.size() ? EntryOf(infos[i]) : RecipientEntry{};
                e.cert = std::move(certs[i]);
                list.push_back(std::move(e));
            }
        } else {
            std::vector<uint8_t> cert;
            if (ReadEnvelopePrefixCert(data, provider::LibraryCode(lib), cert) == 0) list.push_back({std::move(cert), {}, {}, {}});
        }
        if (list.empty() && described)
            for (const ProviderCertInfo& info : infos) list.push_back(EntryOf(info));
    }

    OpenRequest req_;
    DocumentBuffer cur_;
    DocumentBuffer keptSigned_;
    std::optional<std::vector<uint8_t>> keptBody_;
    std::optional<std::vector<RecipientEntry>> overwritten_;  // of the envelope being decrypted over itself
    std::vector<uint8_t> sender_;
    bool keyTried_ = false;
    SignerLocation key_;
    OpenResult result_;
};

}  // namespace

OpenResult OpenProtectedData(DocumentBuffer data, OpenRequest request) {
    Opening opening(std::move(request));
    OpenResult result = opening.Run(std::move(data));
    ZLOG("OpenProtectedData", "Return: %d, Detailing: %d", result.code, result.detail);
    return result;
}

}  // namespace zk
