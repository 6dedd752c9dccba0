#include "zelkord/CertsAtHand.h"

#include <openssl/err.h>
#include <openssl/pkcs7.h>

#include <atomic>
#include <climits>
#include <string_view>

#include "zelkord/Context.h"
#include "zelkord/Errors.h"
#include "zelkord/Registry.h"

namespace zkd {
namespace {

using Pkcs7Ptr = std::unique_ptr<PKCS7, OsslFree<PKCS7_free>>;

std::atomic<ZKCertSource> g_source{nullptr};

std::string_view WithoutLeadingZeros(std::string_view hex) {
    while (hex.size() > 1 && hex.front() == '0') hex.remove_prefix(1);
    return hex;
}

std::string SerialText(X509* cert) {
    const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
    return HexUpper(ASN1_STRING_get0_data(serial), static_cast<size_t>(ASN1_STRING_length(serial)));
}

std::string KeyHashText(X509* cert) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    return X509_pubkey_digest(cert, EVP_sha1(), md, &n) == 1 ? HexUpper(md, n) : std::string();
}

bool Named(X509* cert, CertKey key, const std::string& hex) {
    if (key == CertKey::Serial) return WithoutLeadingZeros(SerialText(cert)) == WithoutLeadingZeros(hex);
    return CertKeyIdentifier(cert) == hex || KeyHashText(cert) == hex;
}

void Keep(X509* cert, std::vector<X509Ptr>& out) {
    if (!cert || X509_up_ref(cert) != 1) throw std::bad_alloc();
    out.emplace_back(cert);
}

void TakeAll(STACK_OF(X509)* certs, size_t limit, std::vector<X509Ptr>& out) {
    for (int i = 0; i < sk_X509_num(certs) && out.size() < limit; ++i) Keep(sk_X509_value(certs, i), out);
}

// The certificates of a PKCS#7 SignedData (a bundle has nothing else).
void TakeBundle(PKCS7* p7, size_t limit, std::vector<X509Ptr>& out) {
    if (p7 && PKCS7_type_is_signed(p7) && p7->d.sign) TakeAll(p7->d.sign->cert, limit, out);
}

// One search: what it looks for and what it found so far.
struct Search {
    CertKey key;
    std::string hex;
    std::vector<X509Ptr> found;
    size_t candidates = 0;

    bool Full() const { return found.size() >= kMaxCertsFound || candidates >= kMaxCandidates; }

    void Consider(X509* cert) {
        if (Full() || !Named(cert, key, hex)) return;
        for (const X509Ptr& known : found)
            if (X509_cmp(known.get(), cert) == 0) return;  // the same certificate from another place
        Keep(cert, found);
    }
};

// The host's candidates come in here (a C callback: nothing may escape it).
int Put(void* sink, const uint8_t* data, uint32_t len) {
    auto* search = static_cast<Search*>(sink);
    try {
        ++search->candidates;
        for (X509Ptr& cert : CertificatesIn(data, len, kMaxCertsPerCandidate)) search->Consider(cert.get());
    } catch (...) {
        return 1;  // no memory for more: what was found stands
    }
    ERR_clear_error();
    return search->Full() ? 1 : 0;
}

}  // namespace

void SetCertSource(ZKCertSource source) { g_source.store(source); }

std::vector<X509Ptr> CertificatesIn(const uint8_t* data, size_t len, size_t limit) {
    std::vector<X509Ptr> out;
    if (!data || len == 0 || len > kMaxCandidateBytes || limit == 0) return out;
    const unsigned char* p = data;
    X509Ptr one(d2i_X509(nullptr, &p, static_cast<long>(len)));
    if (one && p == data + len) {
        out.push_back(std::move(one));
        return out;
    }
    p = data;
    Pkcs7Ptr bundle(d2i_PKCS7(nullptr, &p, static_cast<long>(len)));
    if (bundle && p == data + len) {
        TakeBundle(bundle.get(), limit, out);
        ERR_clear_error();
        return out;
    }
    // PEM: every certificate block, else a PKCS#7 block.
    BioPtr bio(BIO_new_mem_buf(data, static_cast<int>(len)));
    if (!bio) throw std::bad_alloc();
    while (out.size() < limit) {
        X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        if (!cert) break;
        out.push_back(std::move(cert));
    }
    if (out.empty()) {
        bio.reset(BIO_new_mem_buf(data, static_cast<int>(len)));
        if (!bio) throw std::bad_alloc();
        Pkcs7Ptr pem(PEM_read_bio_PKCS7(bio.get(), nullptr, nullptr, nullptr));
        TakeBundle(pem.get(), limit, out);
    }
    ERR_clear_error();
    return out;
}

std::vector<X509Ptr> FindCertsAtHand(CertKey key, const std::string& hex) {
    Search search{key, hex, {}, 0};
    if (hex.empty()) return {};
    if (const Context* ctx = CurrentContext())
        for (const CryptoLib& lib : ctx->libs)
            if (lib.caCert) search.Consider(lib.caCert.get());
    if (ZKCertSource source = g_source.load(); source && !search.Full()) {
        // The host's work is not this operation's: its errors and its choice
        // of crypto library on this thread are not left behind.
        const LastErrorKept error;
        const int library = CurrentLibrary();
        source(static_cast<int32_t>(key), hex.c_str(), &Put, &search);
        SetCurrentLibrary(library);
    }
    ERR_clear_error();
    return std::move(search.found);
}

ZKD_EXPORT(ZKLSVC_SetCertSource, SetCertSource);

}  // namespace zkd
