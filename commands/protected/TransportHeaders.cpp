#include "commands/protected/TransportHeaders.h"

#include <openssl/asn1.h>

#include <cstring>
#include <limits>
#include <string_view>

#include "platform/IssuerClass.h"
#include "provider/Operations.h"

namespace zk {
namespace {

struct Tag {
    std::string_view text;
    int type;
};

// Tested in this order.
constexpr Tag kTags[] = {
    {"TRANSPORTABLE", kTagTransportable}, {"CERTCRYPT", kTagCertCrypt},
    {"PACKED_XML", kTagPackedXml},        {"ZPOSTTRANSPORTABLE", kTagZPostTransportable},
    {"USC_CRYPT", kTagUscCrypt},          {"USC_SIGN", kTagUscSign},
    {"USC_STAMP", kTagUscStamp},          {"USC_INTSIGNS", kTagUscIntSigns},
    {"USC_INTSTAMP", kTagUscIntStamp},    {"IVK_CRYPT", kTagIvkCrypt},
    {"IVK_SIGN", kTagIvkSign},            {"LST_SGNPROP", kTagLstSgnProp},
    {"RCV_TIME", kTagRcvTime},            {"DOC_PRM", kTagDocPrm},
    {"BUF_DOC_KVT", kTagBufDocKvt},       {"BUF_DOC_SND", kTagBufDocSnd},
    {"BUF_PST_SND", kTagBufPstSnd},       {"BUF_DOC_DCR", kTagBufDocDcr},
    {"QLB_CRYPT", kTagQlbCrypt},          {"QLB_SIGN", kTagQlbSign},
    {"QLB_STAMP", kTagQlbStamp},          {"QLB_INTSIGNS", kTagQlbIntSigns},
    {"QLB_INTSTAMP", kTagQlbIntStamp},
};

constexpr std::string_view kTransportable = "TRANSPORTABLE";
constexpr std::string_view kZPostTransportable = "ZPOSTTRANSPORTABLE";
constexpr std::string_view kCertCrypt = "CERTCRYPT";
constexpr std::string_view kPackedXml = "PACKED_XML";

bool HasTag(ByteSpan block, std::string_view tag) {
    return block.size() >= tag.size() + 1 && std::memcmp(block.data(), tag.data(), tag.size()) == 0 &&
           block[tag.size()] == 0;
}

int32_t Le32(const uint8_t* p) {
    const uint32_t v = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                       static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    return static_cast<int32_t>(v);
}

void PutLe32(Bytes& out, size_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// tag, zero byte, length, body: every length is checked against what
// remains of the block before anything is read.
int ReadHeader(ByteSpan& cursor, std::string_view tag, ByteSpan& body) {
    const size_t lengthAt = tag.size() + 1;
    const size_t bodyAt = lengthAt + 4;
    if (cursor.size() < lengthAt || std::memcmp(cursor.data(), tag.data(), tag.size()) != 0 ||
        cursor[tag.size()] != 0)
        return ZK_E_BAD_FILE_FORMAT;
    if (cursor.size() < bodyAt) return ZK_E_DAMAGED;
    const int32_t length = Le32(cursor.data() + lengthAt);
    if (length < 0 || static_cast<size_t>(length) > cursor.size() - bodyAt) return ZK_E_DAMAGED;
    body = cursor.subspan(bodyAt, static_cast<size_t>(length));
    cursor = cursor.subspan(bodyAt + static_cast<size_t>(length));
    return ZK_E_OK;
}

// The library the process reads embedded certificates with: "QLB" when
// loaded, else "USC"; chosen once.
int ParsingLibrary() {
    static const int lib = provider::SelectLibrary(provider::IsLibraryLoaded("QLB") ? "QLB" : "USC");
    return lib;
}

int SenderLibrary(ByteSpan cert) {
    ProviderCertInfo info{};
    if (provider::Invoke<ZK_METHOD(ZKLD_SLOT_READ_CERT)>({}, ParsingLibrary(), cert, &info) != 0) return 0;
    int issuerClass = ClassifyIssuer(std::string_view(info.IssuerSN, strnlen(info.IssuerSN, sizeof info.IssuerSN)));
    if (issuerClass != 0 && issuerClass != 9) issuerClass = 14;
    const int identity = provider::LibraryIdentityByCode(LibraryCodeForClass(issuerClass));
    return identity < 0 ? 0 : identity;
}

}  // namespace

int ClassifyTag(ByteSpan block) {
    for (const Tag& t : kTags)
        if (HasTag(block, t.text)) return t.type;
    return kTagNone;
}

int DetectBlock(ByteSpan block, int32_t* libIndex) {
    if (libIndex) *libIndex = -1;
    if (block.empty()) return 0;
    if (int type = provider::DetectBlock(block, libIndex)) return type;
    return ClassifyTag(block);
}

int ReadTransportable(ByteSpan& cursor, ByteSpan& body) { return ReadHeader(cursor, kTransportable, body); }

int ReadZPostTransportable(ByteSpan& cursor, ByteSpan& body) { return ReadHeader(cursor, kZPostTransportable, body); }

int ReadCertCrypt(ByteSpan& cursor, ByteSpan& cert, int* senderLibrary) {
    const int code = ReadHeader(cursor, kCertCrypt, cert);
    if (code == 0 && senderLibrary) *senderLibrary = SenderLibrary(cert);
    return code;
}

int ReadPackedXmlHeader(ByteSpan block, uint32_t& declaredSize, ByteSpan& packed) {
    const size_t sizeAt = kPackedXml.size() + 1;
    const size_t packedAt = sizeAt + 4;
    if (block.size() < sizeAt || std::memcmp(block.data(), kPackedXml.data(), kPackedXml.size()) != 0 ||
        block[kPackedXml.size()] != 0)
        return ZK_E_BAD_FILE_FORMAT;
    if (block.size() < packedAt) return ZK_E_DAMAGED;
    const int32_t declared = Le32(block.data() + sizeAt);
    if (declared < 0) return ZK_E_DAMAGED;
    declaredSize = static_cast<uint32_t>(declared);
    packed = block.subspan(packedAt);
    return ZK_E_OK;
}

namespace {

// The zero-terminated text at the block's start: the rest after it.
bool SkipText(ByteSpan& block) {
    const auto* end = static_cast<const uint8_t*>(std::memchr(block.data(), 0, block.size()));
    if (!end) return false;
    block = block.subspan(static_cast<size_t>(end - block.data()) + 1);
    return true;
}

// The first element of a DER structure, re-encoded.
bool FirstElement(ByteSpan structure, Bytes& out) {
    const unsigned char* p = structure.data();
    if (structure.size() > static_cast<size_t>(std::numeric_limits<long>::max())) return false;
    ASN1_SEQUENCE_ANY* seq = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(structure.size()));
    bool ok = false;
    if (seq && sk_ASN1_TYPE_num(seq) > 0) {
        unsigned char* der = nullptr;
        const int n = i2d_ASN1_TYPE(sk_ASN1_TYPE_value(seq, 0), &der);
        if (n > 0) {
            out.assign(der, der + n);
            ok = true;
        }
        OPENSSL_free(der);
    }
    sk_ASN1_TYPE_pop_free(seq, ASN1_TYPE_free);
    return ok;
}

}  // namespace

int ReadEnvelopePrefixCert(ByteSpan block, const std::string& libCode, Bytes& cert) {
    cert.clear();
    std::string code = libCode;
    if (!SkipText(block)) return ZK_E_DAMAGED;
    if (code == "USC") {
        int32_t innerLib = -1;
        ByteSpan rest = block;
        if (DetectBlock(rest, &innerLib) == ZK_BLOCK_ENVELOPE && provider::LibraryCode(innerLib) == "QLB") {
            if (!SkipText(block)) return ZK_E_DAMAGED;
            code = "QLB";
        }
    }
    if (code != "USC" && code != "QLB") return ZK_E_PROVIDER_NOT_SUPPORTED;
    if (block.size() < 4) return ZK_E_DAMAGED;
    const int32_t length = Le32(block.data());
    if (length <= 3 || static_cast<size_t>(length) > block.size() - 4) return ZK_E_DAMAGED;
    const ByteSpan item = block.subspan(4, static_cast<size_t>(length));
    if (code == "USC") {
        cert.assign(item.begin(), item.end());
        return ZK_E_OK;
    }
    return FirstElement(item, cert) ? ZK_E_OK : ZK_E_DAMAGED;
}

Bytes CertCryptHeader(ByteSpan cert) {
    Bytes out(kCertCrypt.begin(), kCertCrypt.end());
    out.push_back(0);
    PutLe32(out, cert.size());
    out.insert(out.end(), cert.begin(), cert.end());
    return out;
}

Bytes WrapTransportable(ByteSpan body, ByteSpan content) {
    Bytes out;
    out.reserve(kTransportable.size() + 5 + body.size() + content.size());
    out.assign(kTransportable.begin(), kTransportable.end());
    out.push_back(0);
    PutLe32(out, body.size());
    out.insert(out.end(), body.begin(), body.end());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

}  // namespace zk
