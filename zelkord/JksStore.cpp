#include "zelkord/JksStore.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string_view>

#include "platform/CodePage.h"
#include "platform/SecureWipe.h"
#include "zelkord/Errors.h"

namespace zkd {
namespace {

constexpr uint32_t kMagic = 0xFEEDFEED;
constexpr uint32_t kTagKey = 1;
constexpr uint32_t kTagTrusted = 2;
constexpr size_t kDigestLen = 20;  // SHA-1
constexpr size_t kSaltLen = 20;
constexpr std::string_view kWhitener = "Mighty Aphrodite";
constexpr std::string_view kCertType = "X.509";
// 1.3.6.1.4.1.42.2.17.1.1, the JKS key protector.
constexpr uint8_t kKeyProtectorOid[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x2A, 0x02, 0x11, 0x01, 0x01};

using SigPtr = std::unique_ptr<X509_SIG, OsslFree<X509_SIG_free>>;

// Where a piece lies in the store's bytes.
struct Span {
    size_t at = 0, len = 0;
};

struct EntryLayout {
    bool isKey = false;
    Span alias;
    Span key;
    std::vector<Span> certs;
};

// A bounds-checked reader of the store's fields.
class Cursor {
public:
    Cursor(const uint8_t* data, size_t end) : d_(data), end_(end) {}
    size_t at() const { return at_; }
    bool U16(uint32_t& v) { return Fixed(2, v); }
    bool U32(uint32_t& v) { return Fixed(4, v); }
    bool Skip(size_t n) {
        if (n > end_ - at_) return false;
        at_ += n;
        return true;
    }
    // A piece of n bytes, lent.
    bool Piece(size_t n, Span& out) {
        out = {at_, n};
        return Skip(n);
    }
    // A Java UTF string: 16-bit length and bytes.
    bool Utf(Span& out) {
        uint32_t n = 0;
        return U16(n) && Piece(n, out);
    }

private:
    bool Fixed(size_t n, uint32_t& v) {
        if (n > end_ - at_) return false;
        v = 0;
        for (size_t i = 0; i < n; ++i) v = (v << 8) | d_[at_ + i];
        at_ += n;
        return true;
    }
    const uint8_t* d_;
    size_t end_;
    size_t at_ = 0;
};

bool ReadCert(const uint8_t* d, Cursor& c, uint32_t version, std::vector<Span>& certs, size_t& total) {
    if (version == 2) {
        Span type;
        if (!c.Utf(type) ||
            std::string_view(reinterpret_cast<const char*>(d + type.at), type.len) != kCertType)
            return false;
    }
    uint32_t n = 0;
    Span cert;
    if (!c.U32(n) || n == 0 || !c.Piece(n, cert) || ++total > kMaxJksCertificates) return false;
    certs.push_back(cert);
    return true;
}

// The store's layout, every length checked against the bytes; the digest
// follows the last entry directly.
bool ReadLayout(const uint8_t* d, size_t len, std::vector<EntryLayout>& entries) {
    if (len < 12 + kDigestLen) return false;
    Cursor c(d, len - kDigestLen);
    uint32_t magic = 0, version = 0, count = 0;
    if (!c.U32(magic) || magic != kMagic || !c.U32(version) || (version != 1 && version != 2) || !c.U32(count))
        return false;
    size_t certs = 0;
    for (uint32_t i = 0; i < count; ++i) {  // each entry takes bytes: the count is bounded by them
        EntryLayout e;
        uint32_t tag = 0;
        if (!c.U32(tag) || !c.Utf(e.alias) || !c.Skip(8)) return false;
        if (tag == kTagKey) {
            uint32_t keyLen = 0, chain = 0;
            e.isKey = true;
            if (!c.U32(keyLen) || !c.Piece(keyLen, e.key) || !c.U32(chain)) return false;
            for (uint32_t k = 0; k < chain; ++k)
                if (!ReadCert(d, c, version, e.certs, certs)) return false;
        } else if (tag == kTagTrusted) {
            if (!ReadCert(d, c, version, e.certs, certs)) return false;
        } else {
            return false;
        }
        entries.push_back(std::move(e));
    }
    return c.at() == len - kDigestLen;
}

// The password as Java digests it: each UTF-16 unit, high byte first. The
// Windows-1251 characters all lie in the Basic Multilingual Plane, one unit
// each.
zk::SecretBytes PasswordBytes(const char* cp1251) {
    const zk::SecretString utf8(zk::Cp1251ToUtf8(cp1251 ? cp1251 : ""));
    const std::string& s = utf8.str();
    zk::SecretBytes out;
    out.bytes().reserve(s.size() * 2);
    for (size_t i = 0; i < s.size();) {
        const uint8_t b = static_cast<uint8_t>(s[i]);
        uint32_t unit = b;
        size_t n = 1;
        if (b >= 0xE0 && i + 2 < s.size()) {
            unit = ((b & 0x0Fu) << 12) | ((static_cast<uint8_t>(s[i + 1]) & 0x3Fu) << 6) |
                   (static_cast<uint8_t>(s[i + 2]) & 0x3Fu);
            n = 3;
        } else if (b >= 0xC0 && i + 1 < s.size()) {
            unit = ((b & 0x1Fu) << 6) | (static_cast<uint8_t>(s[i + 1]) & 0x3Fu);
            n = 2;
        }
        out.bytes().push_back(static_cast<uint8_t>(unit >> 8));
        out.bytes().push_back(static_cast<uint8_t>(unit));
        i += n;
    }
    out.KeepOutOfDumps();
    return out;
}

// SHA-1 over the pieces in turn.
bool Sha1(std::initializer_list<std::pair<const uint8_t*, size_t>> pieces, uint8_t (&digest)[kDigestLen]) {
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) != 1) return false;
    for (const auto& [data, len] : pieces)
        if (len && EVP_DigestUpdate(ctx.get(), data, len) != 1) return false;
    unsigned int n = 0;
    return EVP_DigestFinal_ex(ctx.get(), digest, &n) == 1 && n == kDigestLen;
}

const uint8_t* Whitener() { return reinterpret_cast<const uint8_t*>(kWhitener.data()); }

Bytes Copy(const uint8_t* d, const Span& s) { return Bytes(d + s.at, d + s.at + s.len); }

// An alias as a PKCS#12 friendly name (a BMPString) can hold it: UTF-8 of
// characters of the Basic Multilingual Plane, no NUL; else no name at all
// (a key needs none, and a name that cannot be written would stop the
// store from being written as PKCS#12).
std::string FriendlyName(const std::string& alias) {
    const auto* p = reinterpret_cast<const unsigned char*>(alias.data());
    for (size_t i = 0; i < alias.size();) {
        unsigned long c = 0;
        const int used = UTF8_getc(p + i, static_cast<int>(alias.size() - i), &c);
        if (used <= 0 || c == 0 || c > 0xFFFF || (c >= 0xD800 && c <= 0xDFFF)) return {};
        i += static_cast<size_t>(used);
    }
    return alias;
}

}  // namespace

bool IsJks(const uint8_t* data, size_t len) {
    return data && len >= 4 && data[0] == 0xFE && data[1] == 0xED && data[2] == 0xFE && data[3] == 0xED;
}

int ReadJks(const uint8_t* data, size_t len, const char* password, std::vector<JksEntry>& entries) {
    entries.clear();
    std::vector<EntryLayout> layout;
    if (!data || !ReadLayout(data, len, layout)) return Fail(ZK_E_DAMAGED, "the Java key store is damaged");
    if (password) {
        const zk::SecretBytes pass = PasswordBytes(password);
        uint8_t digest[kDigestLen];
        if (!Sha1({{pass.bytes().data(), pass.bytes().size()}, {Whitener(), kWhitener.size()},
                   {data, len - kDigestLen}},
                  digest))
            return Fail(ZK_E_SIGN_OR_PASSWORD, "the integrity digest cannot be computed");
        if (CRYPTO_memcmp(digest, data + len - kDigestLen, kDigestLen) != 0)
            return Fail(ZK_E_SIGN_OR_PASSWORD,
                        "the Java key store's integrity digest does not match: a wrong password, or the store was "
                        "altered");
    }
    for (const EntryLayout& e : layout) {
        JksEntry entry;
        entry.isKey = e.isKey;
        entry.alias.assign(reinterpret_cast<const char*>(data + e.alias.at), e.alias.len);
        if (e.isKey) entry.protectedKey = Copy(data, e.key);
        for (const Span& s : e.certs) entry.certs.push_back(Copy(data, s));
        entries.push_back(std::move(entry));
    }
    return ZK_E_OK;
}

int OpenJksKey(const Bytes& protectedKey, const char* password, PKeyPtr& key) {
    key.reset();
    const unsigned char* p = protectedKey.data();
    SigPtr sig(protectedKey.size() <= LONG_MAX
                   ? d2i_X509_SIG(nullptr, &p, static_cast<long>(protectedKey.size()))
                   : nullptr);
    ERR_clear_error();
    const X509_ALGOR* alg = nullptr;
    const ASN1_OCTET_STRING* sealed = nullptr;
    if (sig) X509_SIG_get0(sig.get(), &alg, &sealed);
    const ASN1_OBJECT* oid = nullptr;
    if (alg) X509_ALGOR_get0(&oid, nullptr, nullptr, alg);
    if (!sig || p != protectedKey.data() + protectedKey.size() || !oid ||
        OBJ_length(oid) != sizeof kKeyProtectorOid ||
        std::memcmp(OBJ_get0_data(oid), kKeyProtectorOid, sizeof kKeyProtectorOid) != 0)
        return Fail(ZK_E_BAD_KEY_FORMAT, "the key is not protected by the JKS key protector");
    const uint8_t* in = ASN1_STRING_get0_data(sealed);
    const size_t inLen = static_cast<size_t>(ASN1_STRING_length(sealed));
    if (inLen <= kSaltLen + kDigestLen) return Fail(ZK_E_BAD_KEY_FORMAT, "the protected key is too short");

    const zk::SecretBytes pass = PasswordBytes(password);
    const uint8_t* passData = pass.bytes().data();
    const size_t passLen = pass.bytes().size();
    const size_t keyLen = inLen - kSaltLen - kDigestLen;
    zk::SecretBytes plain{Bytes(keyLen)};
    uint8_t block[kDigestLen];
    std::memcpy(block, in, kSaltLen);
    for (size_t done = 0; done < keyLen; done += kDigestLen) {
        if (!Sha1({{passData, passLen}, {block, kDigestLen}}, block))
            return Fail(ZK_E_BAD_KEY_FORMAT, "the key stream cannot be computed");
        for (size_t i = 0; i < kDigestLen && done + i < keyLen; ++i)
            plain.bytes()[done + i] = in[kSaltLen + done + i] ^ block[i];
    }
    zk::SecureWipe(block, sizeof block);
    uint8_t check[kDigestLen];
    if (!Sha1({{passData, passLen}, {plain.bytes().data(), keyLen}}, check) ||
        CRYPTO_memcmp(check, in + kSaltLen + keyLen, kDigestLen) != 0)
        return Fail(ZK_E_SIGN_OR_PASSWORD, "the key does not open with the password");
    const unsigned char* q = plain.bytes().data();
    P8InfoPtr info(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &q, static_cast<long>(keyLen)));
    if (info) key.reset(EVP_PKCS82PKEY(info.get()));
    ERR_clear_error();
    if (!key) return Fail(ZK_E_BAD_KEY_FORMAT, "the key store holds a key of an unknown kind");
    return ZK_E_OK;
}

int ReadJksKeyFile(const uint8_t* data, size_t len, const char* password, KeyFile& out) {
    out = KeyFile{};
    std::vector<JksEntry> entries;
    if (int rc = ReadJks(data, len, password ? password : "", entries)) return rc;  // the digest always checked
    for (const JksEntry& e : entries) {
        const std::string name = FriendlyName(e.alias);
        Bytes ownId;  // pairs the key with its certificate, as a PKCS#12 file pairs them
        for (size_t i = 0; i < e.certs.size(); ++i) {
            X509Ptr x = ParseCertificate(e.certs[i].data(), e.certs[i].size());
            if (!x) return Fail(ZK_E_DAMAGED, "a certificate of the Java key store is damaged");
            const bool own = e.isKey && i == 0;
            if (own) {
                unsigned char md[EVP_MAX_MD_SIZE];
                unsigned int n = 0;
                if (X509_digest(x.get(), EVP_sha1(), md, &n) == 1) ownId.assign(md, md + n);
            }
            auto same = std::find_if(out.certs.begin(), out.certs.end(),
                                     [&](const KeyFileCert& c) { return X509_cmp(c.cert.get(), x.get()) == 0; });
            if (same == out.certs.end()) {
                // Named as its entry: a key's own certificate and a trusted one (not a chain's others).
                out.certs.push_back({std::move(x), own || !e.isKey ? name : std::string(), own ? ownId : Bytes()});
            } else if (own) {
                same->friendlyName = name;
                same->localKeyId = ownId;
            }
        }
        if (!e.isKey) continue;
        KeyFileKey k;
        if (int rc = OpenJksKey(e.protectedKey, password, k.key)) return rc;
        k.friendlyName = name;
        k.localKeyId = ownId;
        out.keys.push_back(std::move(k));
    }
    ERR_clear_error();
    if (out.keys.empty()) return Fail(ZK_E_BAD_KEY_FORMAT, "the Java key store holds no private key");
    out.kind = KeyFileKind::Jks;
    return ZK_E_OK;
}

}  // namespace zkd
