// Envelopes of the container family: encrypting, decrypting, listing recipients.
#include "provider/Operations.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "provider/OperationCalls.h"

namespace zk::provider {
using namespace calls;

namespace {

// ZKLCTX_EncryptDataForRecipients over the document's bytes at doc (size of
// them), its checks done: the sizing call when out is null.
int EncryptCall(const uint8_t* doc, size_t size, const SignerRef& sender, const std::vector<ZKBlob>& pairs,
                uint8_t* out, uint32_t* len) {
    return Call<&Exports::ZKLCTX_EncryptDataForRecipients>(
        doc, static_cast<uint32_t>(size), sender.cert.data(), Len(sender.cert), KeyData(sender.key),
        KeyLength(sender.key), sender.pass, pairs.data(), static_cast<int32_t>(pairs.size()), out, len);
}

bool EncryptArgumentsFit(ByteView document, const SignerRef& sender, const std::vector<ByteView>& recipientCerts,
                         std::vector<ZKBlob>& pairs) {
    return Fits(document) && Fits(sender.cert) && Fits(sender.key.bytes) && Pairs(recipientCerts, pairs);
}

}  // namespace

int CtxEncryptData(const Site& site, ByteView document, const SignerRef& sender,
                   const std::vector<ByteView>& recipientCerts, Output& envelope) {
    return Logged(site, "EncryptDataForRecipients", [&] {
        std::vector<ZKBlob> pairs;
        if (!EncryptArgumentsFit(document, sender, recipientCerts, pairs)) return kInputTooLarge;
        return TwoCalls(envelope, false, [&](uint8_t* buffer, uint32_t* len) {
            return EncryptCall(document.data(), document.size(), sender, pairs, buffer, len);
        });
    });
}

int CtxEncryptDataInPlace(const Site& site, SharedBytes& document, const SignerRef& sender,
                          const std::vector<ByteView>& recipientCerts, SharedBytes& envelope) {
    envelope.Release();
    const size_t size = document.size();
    uint8_t* const start = document.mutableView().data();
    size_t wipeFrom = 0, wipeTo = size;  // what may still hold the document's bytes afterwards
    const int code = Logged(site, "EncryptDataForRecipients", [&] {
        std::vector<ZKBlob> pairs;
        if (!EncryptArgumentsFit(document.view(), sender, recipientCerts, pairs)) return kInputTooLarge;
        uint32_t bound = 0;
        if (int rc = EncryptCall(start, size, sender, pairs, nullptr, &bound)) return rc;
        if (bound < size || document.room() < bound) {  // no room: memory of its own
            Output out;
            const int rc = TwoCalls(out, false, [&](uint8_t* buffer, uint32_t* len) {
                return EncryptCall(start, size, sender, pairs, buffer, len);
            });
            if (rc == 0) envelope = Shared(std::move(out));
            return rc;
        }
        std::memmove(start + (bound - size), start, size);
        wipeTo = bound;
        uint32_t written = bound;
        const int rc = EncryptCall(start + (bound - size), size, sender, pairs, start, &written);
        if (rc == 0) {
            wipeFrom = std::min<size_t>(written, bound);  // the envelope is [0, written); after it, leftovers
            envelope = document.Within(0, wipeFrom);
        }
        return rc;
    });
    SecureWipe(start + wipeFrom, wipeTo - wipeFrom);
    document.Release();
    return code;
}

int CtxDecryptData(const Site& site, ByteView envelope, const KeyRef& key, const char* pass, ByteView originatorCert,
                   ByteView recipientCert, Output& plain) {
    return Logged(site, "DecryptData", [&] {
        if (!Fits(envelope) || !Fits(key.bytes) || !Fits(originatorCert) || !Fits(recipientCert))
            return kInputTooLarge;
        const uint8_t* originator = originatorCert.empty() ? nullptr : originatorCert.data();
        return TwoCalls(plain, true, [&](uint8_t* buffer, uint32_t* len) {
            return Call<&Exports::ZKLCTX_DecryptData>(envelope.data(), Len(envelope), KeyData(key), KeyLength(key),
                                                      pass, originator, Len(originatorCert), recipientCert.data(),
                                                      Len(recipientCert), buffer, len);
        });
    });
}

int CtxGetOriginatorCertificate(const Site& site, ByteView envelope, int32_t index, std::vector<uint8_t>& cert) {
    return Logged(site, "GetOriginatorCertificate", [&] {
        cert.assign(ZK_KEY_BUFFER_SIZE, 0);
        uint32_t len = ZK_KEY_BUFFER_SIZE;
        const int code = Fits(envelope) ? Call<&Exports::ZKLCTX_GetOriginatorCertificate>(
                                              envelope.data(), Len(envelope), index, cert.data(), &len)
                                        : kInputTooLarge;
        cert.resize(code == 0 ? std::min<size_t>(len, ZK_KEY_BUFFER_SIZE) : 0);
        return code;
    });
}

int CtxEnumerateRecipients(const Site& site, ByteView envelope, std::vector<ProviderCertInfo>& infos) {
    return Logged(site, "EnumerateRecipients", [&] {
        infos.clear();
        if (!Fits(envelope)) return kInputTooLarge;
        int32_t count = 0;
        int code = Call<&Exports::ZKLCTX_EnumerateRecipients>(envelope.data(), Len(envelope), nullptr, &count);
        if (code != 0 || count <= 0) return code;
        infos.assign(static_cast<size_t>(count), ProviderCertInfo{});  // zeroed: no identifier slots
        code = Call<&Exports::ZKLCTX_EnumerateRecipients>(envelope.data(), Len(envelope), infos.data(), &count);
        infos.resize(code == 0 ? std::min(infos.size(), static_cast<size_t>(std::max(count, 0))) : 0);
        return code;
    });
}

}  // namespace zk::provider
