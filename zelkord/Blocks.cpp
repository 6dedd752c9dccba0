#include "zelkord/Blocks.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "zelkord/Context.h"
#include "zelkord/Der.h"
#include "zelkord/Errors.h"
#include "zelkord/Registry.h"

namespace zkd {
namespace {

constexpr uint8_t kOidSigned[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
constexpr uint8_t kOidEnveloped[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x03};
constexpr uint8_t kOidTimeStamped[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x10, 0x01, 0x1F};

// Tags with their zero byte.
constexpr std::string_view kUscTag("USC_CRYPT\0", 10);
constexpr std::string_view kQlbTag("QLB_CRYPT\0", 10);
constexpr std::string_view kCertCryptTag("CERTCRYPT\0", 10);
constexpr std::string_view kPemBegin = "-----BEGIN ";
constexpr std::string_view kPemLabels[] = {"CMS-----", "PKCS7-----"};
constexpr std::string_view kPemEnd = "-----END ";

// Enough Base64 text to tell the kind of what it encodes.
constexpr size_t kBase64Probe = 64;

bool StartsWith(const uint8_t* data, size_t len, std::string_view prefix) {
    return len >= prefix.size() && std::memcmp(data, prefix.data(), prefix.size()) == 0;
}

}  // namespace

int CmsContentKind(const uint8_t* d, size_t len) {
    if (len < 2 || d[0] != der::kSequence) return 0;
    size_t at = 2;
    if (d[1] > 0x80) at += d[1] & 0x7F;  // long form; 0x80 is the indefinite form
    der::Item oid;
    if (at > 6 || !der::ReadItem(d, len, at, oid) || oid.tag != der::kOid) return 0;
    if (der::ContentEquals(d, oid, kOidEnveloped, sizeof kOidEnveloped)) return ZK_BLOCK_ENVELOPE;
    if (der::ContentEquals(d, oid, kOidSigned, sizeof kOidSigned)) return ZK_BLOCK_SIGNED;
    if (der::ContentEquals(d, oid, kOidTimeStamped, sizeof kOidTimeStamped)) return ZK_BLOCK_TIMESTAMPED;
    return 0;
}

namespace {

int BinaryKind(const uint8_t* d, size_t len, const char** libCode) {
    *libCode = "UA1";
    if (StartsWith(d, len, kUscTag)) {
        *libCode = "USC";
        return ZK_BLOCK_ENVELOPE;
    }
    if (StartsWith(d, len, kQlbTag)) {
        *libCode = "QLB";
        return ZK_BLOCK_ENVELOPE;
    }
    return CmsContentKind(d, len);
}

int Base64Value(uint8_t c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool IsBlank(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Decodes the Base64 text in [from, to) of buf into buf from its start
// (the output never overtakes the input). Blanks are skipped, "=" may only
// end the text. False when the text is not Base64.
bool DecodeInPlace(uint8_t* buf, size_t from, size_t to, size_t& outLen) {
    size_t w = 0;
    uint32_t acc = 0;
    int bits = 0, chars = 0, pads = 0;
    for (size_t r = from; r < to; ++r) {
        const uint8_t c = buf[r];
        if (IsBlank(c)) continue;
        if (c == '=') {
            ++pads;
            continue;
        }
        const int v = Base64Value(c);
        if (v < 0 || pads) return false;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        ++chars;
        if (bits >= 8) {
            bits -= 8;
            buf[w++] = static_cast<uint8_t>(acc >> bits);
        }
    }
    if (chars % 4 == 1 || pads > 2 || (pads && (chars + pads) % 4 != 0)) return false;
    outLen = w;
    return w > 0;
}

// The first bytes that a Base64 text encodes, for telling their kind.
bool ProbeBase64(const uint8_t* data, size_t len, Bytes& head) {
    size_t significant = 0;
    head.clear();
    for (size_t i = 0; i < len; ++i) {
        const uint8_t c = data[i];
        if (IsBlank(c) || c == '=') continue;
        if (Base64Value(c) < 0) return false;  // every character must be Base64 for the whole to be
        if (significant++ < kBase64Probe) head.push_back(c);
    }
    if (significant < 24) return false;
    head.resize(head.size() / 4 * 4);  // whole groups decode cleanly from a prefix
    size_t n = 0;
    if (!DecodeInPlace(head.data(), 0, head.size(), n)) return false;
    head.resize(n);
    return true;
}

// The PEM body between the BEGIN line and the END line.
bool PemBody(const uint8_t* d, size_t len, size_t& from, size_t& to) {
    if (!StartsWith(d, len, kPemBegin)) return false;
    const std::string_view text(reinterpret_cast<const char*>(d), len);
    bool labelled = false;
    for (std::string_view label : kPemLabels) labelled = labelled || text.substr(kPemBegin.size()).starts_with(label);
    if (!labelled) return false;
    const size_t lineEnd = text.find('\n');
    const size_t end = text.rfind(kPemEnd);
    if (lineEnd == std::string_view::npos || end == std::string_view::npos || end < lineEnd) return false;
    from = lineEnd + 1;
    to = end;
    return true;
}

uint32_t ReadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void PutLe32(Bytes& out, size_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A length-prefixed element after a tag: LE32 n (not negative, within the
// block), then n bytes; what follows is the rest.
bool LengthPrefixed(const uint8_t* d, size_t len, size_t at, const uint8_t*& item, size_t& itemLen,
                    const uint8_t*& rest, size_t& restLen) {
    if (len < at + 4) return false;
    const uint32_t n = ReadLe32(d + at);
    if (n > 0x7FFFFFFFu || n > len - at - 4) return false;
    item = d + at + 4;
    itemLen = n;
    rest = item + n;
    restLen = len - at - 4 - n;
    return true;
}

Bytes DerOf(X509* x) {
    unsigned char* p = nullptr;
    const int n = i2d_X509(x, &p);
    Bytes out(p, p + (n > 0 ? n : 0));
    OPENSSL_free(p);
    return out;
}

// --- slots

int SlotDetectBlock(ZKLDContext ctx, const uint8_t* data, uint32_t len, int32_t* libIndex) {
    if (libIndex) *libIndex = -1;
    const char* code = nullptr;
    const int type = data ? DetectBlockType(data, len, &code) : 0;
    const Context* c = static_cast<const Context*>(ctx);
    if (type && libIndex && c && c == CurrentContext()) *libIndex = c->IndexOf(code);
    return type;
}

int SlotUnwrap(ZKLDContext, uint8_t* data, uint32_t* len) {
    if (!data || !len) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing data");
    size_t n = *len;
    const int rc = UnwrapInPlace(data, n);
    if (rc == 0) *len = static_cast<uint32_t>(n);
    return rc;
}

}  // namespace

int DetectBlockType(const uint8_t* data, size_t len, const char** libCode) {
    const char* unused = nullptr;
    if (!libCode) libCode = &unused;
    *libCode = "UA1";
    if (!data || len == 0) return 0;
    if (int kind = BinaryKind(data, len, libCode)) return kind;
    size_t from = 0, to = 0;
    if (PemBody(data, len, from, to)) return ZK_BLOCK_PEM;
    Bytes head;
    if (ProbeBase64(data, len, head) && BinaryKind(head.data(), head.size(), libCode)) return ZK_BLOCK_BASE64;
    *libCode = "UA1";
    return 0;
}

Frame FrameOfLibrary(const std::string& code) {
    if (code == "USC") return Frame::Usc;
    if (code == "QLB") return Frame::Qlb;
    return Frame::Bare;
}

int ReadEnvelopeBlock(const uint8_t* data, size_t len, EnvelopeBlock& out) {
    out = EnvelopeBlock();
    if (!data || len == 0) return Fail(ZK_E_DAMAGED, "the envelope is empty");
    if (StartsWith(data, len, kUscTag) && StartsWith(data + kUscTag.size(), len - kUscTag.size(), kQlbTag)) {
        data += kUscTag.size();
        len -= kUscTag.size();
    }
    const bool usc = StartsWith(data, len, kUscTag);
    const bool qlb = StartsWith(data, len, kQlbTag);
    if (!usc && !qlb) {
        out.envelope = data;
        out.envelopeLen = len;
        return ZK_E_OK;
    }
    const uint8_t* item = nullptr;
    size_t itemLen = 0;
    if (!LengthPrefixed(data, len, kUscTag.size(), item, itemLen, out.envelope, out.envelopeLen) || itemLen == 0)
        return Fail(ZK_E_DAMAGED, "the envelope's frame is damaged");
    out.frame = usc ? Frame::Usc : Frame::Qlb;
    if (usc) {
        out.sender = item;
        out.senderLen = itemLen;
        return ZK_E_OK;
    }
    // QLB: the sender is the first element of the certificate sequence.
    der::Item seq, first;
    if (!der::ReadItem(item, itemLen, 0, seq) || seq.tag != der::kSequence || seq.End() != itemLen ||
        !der::ReadItem(item, seq.End(), seq.ContentStart(), first))
        return Fail(ZK_E_DAMAGED, "the envelope's certificate list is damaged");
    out.sender = item + first.start;
    out.senderLen = first.End() - first.start;
    return ZK_E_OK;
}

Bytes FrameHeader(Frame frame, X509* sender, const std::vector<X509*>& recipients) {
    Bytes out;
    if (frame == Frame::Bare) return out;
    const std::string_view tag = frame == Frame::Usc ? kUscTag : kQlbTag;
    out.assign(tag.begin(), tag.end());
    Bytes item = DerOf(sender);
    if (frame == Frame::Qlb) {
        for (X509* r : recipients) {
            Bytes d = DerOf(r);
            item.insert(item.end(), d.begin(), d.end());
        }
        uint8_t header[2 + sizeof(size_t)];
        const size_t n = der::WriteHeader(der::kSequence, item.size(), header);
        item.insert(item.begin(), header, header + n);
    }
    PutLe32(out, item.size());
    out.insert(out.end(), item.begin(), item.end());
    return out;
}

int ReadCertCryptHeader(const uint8_t* data, size_t len, const uint8_t*& cert, size_t& certLen, const uint8_t*& rest,
                        size_t& restLen) {
    if (!data || len <= kCertCryptTag.size() || !StartsWith(data, len, kCertCryptTag))
        return Fail(ZK_E_BAD_FILE_FORMAT, "no sender certificate header");
    if (!LengthPrefixed(data, len, kCertCryptTag.size(), cert, certLen, rest, restLen))
        return Fail(ZK_E_DAMAGED, "the sender certificate header is damaged");
    return ZK_E_OK;
}

int UnwrapInPlace(uint8_t* data, size_t& len) {
    if (!data || len == 0) return Fail(ZK_E_BAD_FILE_FORMAT, "empty block");
    size_t from = 0, to = len, decoded = 0;
    const int kind = DetectBlockType(data, len, nullptr);
    if (kind == ZK_BLOCK_PEM) {
        PemBody(data, len, from, to);
    } else if (kind != ZK_BLOCK_BASE64) {
        return Fail(ZK_E_BAD_FILE_FORMAT, "the block is no text form of a block");
    }
    if (!DecodeInPlace(data, from, to, decoded)) return Fail(ZK_E_DAMAGED, "the block's Base64 text is damaged");
    len = decoded;
    return ZK_E_OK;
}

ZKD_SLOT(ZKLD_SLOT_DETECT_BLOCK, SlotDetectBlock);
ZKD_SLOT(ZKLD_SLOT_UNWRAP, SlotUnwrap);

}  // namespace zkd
