// The protected-document libraries: what each needs, block detection, signature removal, many-recipient encryption, unwrapping, the page cipher.
#include "provider/Operations.h"

#include <algorithm>
#include <limits>

#include "provider/OperationCalls.h"

namespace zk::provider {
using namespace calls;

bool LibraryNeedsSenderCert(int libIndex) {
    const Binding& b = Get();
    return libIndex >= 0 && libIndex < b.libCount && b.table[libIndex].NeedsSenderCert != 0;
}

std::string LibraryCode(int libIndex) {
    const Binding& b = Get();
    if (libIndex < 0 || libIndex >= b.libCount) return {};
    return Text(b.table[libIndex].Code, sizeof b.table[libIndex].Code);
}

int DetectBlock(ByteView data, int32_t* libIndex) {
    if (libIndex) *libIndex = -1;
    auto fn = Slot<ZKLD_SLOT_DETECT_BLOCK>();
    if (!fn || data.empty() || !Fits(data)) return 0;
    return fn(Get().context, data.data(), Len(data), libIndex);
}

int LibRemoveSignature(const Site& site, int32_t lib, ByteView data, Output& content, Output& signerCert) {
    return Logged(site, "RemoveSignature", [&] {
        content.Release();
        signerCert.Release();
        if (!Fits(data)) return kInputTooLarge;
        uint32_t contentSize = 0, certSize = 0;
        int code = CallSlot<ZKLD_SLOT_REMOVE_SIGNATURE>(lib, data.data(), Len(data), nullptr, &contentSize, nullptr,
                                                        &certSize);
        if (code != 0) return code;
        uint8_t* c = content.Allocate(contentSize, true);
        uint8_t* s = signerCert.Allocate(certSize, false);
        uint32_t contentLen = contentSize, certLen = certSize;
        code = CallSlot<ZKLD_SLOT_REMOVE_SIGNATURE>(lib, data.data(), Len(data), c, &contentLen, s, &certLen);
        if (code != 0) {
            content.Release();
            signerCert.Release();
            return code;
        }
        content.SetSize(contentLen);
        signerCert.SetSize(certLen);
        return code;
    });
}

int LibRemoveSignatureInPlace(const Site& site, int32_t lib, std::span<uint8_t> data, size_t& contentLength,
                              Output& signerCert) {
    contentLength = 0;
    return Logged(site, "RemoveSignature", [&] {
        signerCert.Release();
        if (!Fits(data)) return kInputTooLarge;
        // The certificate lies inside the block too: the block's length bounds it
        // (mapped, not touched beyond what is written).
        uint8_t* s = signerCert.Allocate(data.size(), false);
        uint32_t contentLen = Len(data), certLen = Len(data);
        const int code = CallSlot<ZKLD_SLOT_REMOVE_SIGNATURE>(lib, data.data(), Len(data), data.data(), &contentLen, s,
                                                             &certLen);
        if (code != 0) {
            signerCert.Release();
            return code;
        }
        contentLength = std::min<size_t>(contentLen, data.size());
        signerCert.SetSize(certLen);
        return code;
    });
}

int LibEncryptMany(const Site& site, int32_t lib, ByteView data, const std::vector<ByteView>& recipientCerts,
                   const KeyRef& key, ByteView senderCert, const char* pass, Output& out) {
    return Logged(site, "EncryptMany", [&] {
        std::vector<ZKBlob> blobs;
        if (!Fits(data) || !Fits(key.bytes) || !Fits(senderCert) || !Pairs(recipientCerts, blobs))
            return kInputTooLarge;
        return TwoCalls(out, false, [&](uint8_t* buffer, uint32_t* len) {
            return CallSlot<ZKLD_SLOT_ENCRYPT_MANY>(lib, data.data(), Len(data), buffer, len, blobs.data(),
                                                    static_cast<int32_t>(blobs.size()), KeyData(key), KeyLength(key),
                                                    senderCert.data(), Len(senderCert), pass, -1);
        });
    });
}

int Unwrap(const Site& site, std::span<uint8_t> data, size_t& size) {
    size = data.size();
    return Logged(site, "Unwrap", [&] {
        if (data.size() > std::numeric_limits<uint32_t>::max()) return kInputTooLarge;
        uint32_t len = static_cast<uint32_t>(data.size());
        const int code = CallSlot<ZKLD_SLOT_UNWRAP>(data.data(), &len);
        if (code == 0) size = std::min<size_t>(len, data.size());
        return code;
    });
}

int RecipientCerts(const Site& site, ByteView envelope, std::vector<std::vector<uint8_t>>& certs) {
    return Logged(site, "RecipientCerts", [&] {
        certs.clear();
        if (!Fits(envelope)) return kInputTooLarge;
        int32_t count = 0;
        int code = CallSlot<ZKLD_SLOT_RECIPIENT_CERTS>(envelope.data(), Len(envelope), nullptr, &count);
        if (code != 0 || count <= 0) return code;
        // One buffer of the contract's key buffer size per recipient.
        std::vector<std::vector<uint8_t>> room(static_cast<size_t>(count), std::vector<uint8_t>(ZK_KEY_BUFFER_SIZE));
        std::vector<ZKBlob> blobs;
        for (auto& r : room) blobs.push_back(ZKBlob{r.data(), static_cast<uint32_t>(r.size())});
        code = CallSlot<ZKLD_SLOT_RECIPIENT_CERTS>(envelope.data(), Len(envelope), blobs.data(), &count);
        if (code != 0) return code;
        for (int32_t i = 0; i < count && static_cast<size_t>(i) < room.size(); ++i) {
            room[i].resize(std::min<size_t>(blobs[i].length, room[i].size()));
            certs.push_back(std::move(room[i]));
        }
        return code;
    });
}

int RecipientInfos(const Site& site, ByteView envelope, std::vector<ProviderCertInfo>& infos) {
    return Logged(site, "RecipientInfos", [&] {
        infos.clear();
        if (!Fits(envelope)) return kInputTooLarge;
        int32_t count = 0;
        int code = CallSlot<ZKLD_SLOT_RECIPIENT_INFOS>(envelope.data(), Len(envelope), nullptr, &count);
        if (code != 0 || count <= 0) return code;
        infos.assign(static_cast<size_t>(count), ProviderCertInfo{});  // zeroed: no identifier slots
        code = CallSlot<ZKLD_SLOT_RECIPIENT_INFOS>(envelope.data(), Len(envelope), infos.data(), &count);
        infos.resize(code == 0 ? std::min(infos.size(), static_cast<size_t>(std::max(count, 0))) : 0);
        return code;
    });
}

bool HasPageCipher() {
    return Slot<ZKLD_SLOT_CIPHER_CREATE>() && Slot<ZKLD_SLOT_CIPHER_RUN>() && Slot<ZKLD_SLOT_CIPHER_FREE>();
}

int PageCipherTransform(int32_t lib, ByteView key, const uint8_t (&iv)[8], std::span<uint8_t> data) {
    if (!Fits(key) || data.size() > std::numeric_limits<uint32_t>::max()) return kInputTooLarge;
    void* cipher = nullptr;
    int code = CallSlot<ZKLD_SLOT_CIPHER_CREATE>(lib, key.data(), Len(key), iv, &cipher);
    if (code != 0) return code;
    if (!cipher) return kMissingOperation;
    code = CallSlot<ZKLD_SLOT_CIPHER_RUN>(cipher, data.data(), static_cast<uint32_t>(data.size()));
    CallSlot<ZKLD_SLOT_CIPHER_FREE>(cipher);
    return code;
}

}  // namespace zk::provider
