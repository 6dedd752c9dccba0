#include "provider/ContentFraming.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>

#include "platform/Der.h"

namespace zk::provider {
using namespace der;

std::optional<ContentFrame> FrameAttachedContent(std::span<const uint8_t> detached, size_t contentLength) {
    // ContentInfo { contentType signedData, [0] SignedData { version,
    // digestAlgorithms, encapContentInfo { eContentType }, the rest } }
    const uint8_t* const end = detached.data() + detached.size();
    Element info, type, explicit0, signedData, version, digests, encap, encapType;
    if (!Read(detached.data(), end, info) || info.end() != end || !Is(info, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, true))
        return std::nullopt;
    if (!Read(info.content, info.end(), type) || !IsObject(type, NID_pkcs7_signed))
        return std::nullopt;
    if (!Read(type.end(), info.end(), explicit0) || explicit0.end() != info.end() ||
        !Is(explicit0, 0, V_ASN1_CONTEXT_SPECIFIC, true))
        return std::nullopt;
    if (!Read(explicit0.content, explicit0.end(), signedData) || signedData.end() != explicit0.end() ||
        !Is(signedData, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, true))
        return std::nullopt;
    if (!Read(signedData.content, signedData.end(), version) || !Is(version, V_ASN1_INTEGER, V_ASN1_UNIVERSAL, false) ||
        !Read(version.end(), signedData.end(), digests) || !Is(digests, V_ASN1_SET, V_ASN1_UNIVERSAL, true) ||
        !Read(digests.end(), signedData.end(), encap) || !Is(encap, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, true))
        return std::nullopt;
    // Without content, the content type is all the encapContentInfo holds.
    if (!Read(encap.content, encap.end(), encapType) || encapType.end() != encap.end() ||
        !Is(encapType, V_ASN1_OBJECT, V_ASN1_UNIVERSAL, false))
        return std::nullopt;
    // The attached form: the same parts around the content.
    return FrameSignedData({type.whole(), version.whole(), digests.whole(), encapType.whole(),
                            {encap.end(), signedData.end()}},
                           contentLength, true);
}

}  // namespace zk::provider
