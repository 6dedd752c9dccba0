// The provider's search for certificates at hand (CertsAtHand.h): what the
// host hands over is read in every form certificate files come in, only the
// certificates the search names come back, the search is bounded, and the
// host's work leaves nothing behind on the thread.
#include <gtest/gtest.h>

#include <openssl/ec.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>

#include <string>
#include <vector>

#include "zelkord/CertsAtHand.h"
#include "zelkord/Context.h"
#include "zelkord/Errors.h"

namespace zkd {
namespace {

using Pkcs7Ptr = std::unique_ptr<PKCS7, OsslFree<PKCS7_free>>;

// A self-signed certificate with this serial number (hex) and, when given,
// a subject key identifier of its own (else none).
X509Ptr MakeCert(const char* serialHex, const char* skiHex = nullptr) {
    PKeyPtr key(EVP_EC_gen("P-256"));
    X509Ptr cert(X509_new());
    BIGNUM* bn = nullptr;
    BN_hex2bn(&bn, serialHex);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
    BN_free(bn);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(serialHex), -1, -1, 0);
    X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), key.get());
    if (skiHex) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_key_identifier, skiHex);
        X509_add_ext(cert.get(), ext, -1);
        X509_EXTENSION_free(ext);
    }
    X509_sign(cert.get(), key.get(), EVP_sha256());
    return cert;
}

Bytes Der(X509* cert) {
    unsigned char* der = nullptr;
    const int n = i2d_X509(cert, &der);
    Bytes out(der, der + n);
    OPENSSL_free(der);
    return out;
}

Bytes Pem(std::initializer_list<X509*> certs) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    for (X509* c : certs) PEM_write_bio_X509(bio.get(), c);
    char* p = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &p);
    return Bytes(p, p + n);
}

// A PKCS#7 certificate bundle (".p7b"), DER or PEM.
Bytes Bundle(std::initializer_list<X509*> certs, bool pem) {
    Pkcs7Ptr p7(PKCS7_new());
    PKCS7_set_type(p7.get(), NID_pkcs7_signed);
    PKCS7_content_new(p7.get(), NID_pkcs7_data);
    for (X509* c : certs) PKCS7_add_certificate(p7.get(), c);
    BioPtr bio(BIO_new(BIO_s_mem()));
    pem ? PEM_write_bio_PKCS7(bio.get(), p7.get()) : i2d_PKCS7_bio(bio.get(), p7.get());
    char* p = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &p);
    return Bytes(p, p + n);
}

std::string KeyHash(X509* cert) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    X509_pubkey_digest(cert, EVP_sha1(), md, &n);
    return HexUpper(md, n);
}

// The host's side: hands every candidate until told to stop, counting them;
// its own work leaves an error and another library on the thread.
struct Host {
    static inline std::vector<Bytes> candidates;
    static inline size_t handed = 0;
    static void Source(int32_t, const char*, ZKCertPut put, void* sink) {
        Fail(ZK_E_CERT_INFO, "the host's own failure");
        SetCurrentLibrary(7);
        for (const Bytes& c : candidates) {
            ++handed;
            if (put(sink, c.data(), static_cast<uint32_t>(c.size()))) return;
        }
    }
};

class CertsAtHand : public ::testing::Test {
protected:
    void SetUp() override {
        SetCertSource(&Host::Source);
        Host::candidates.clear();
        Host::handed = 0;
    }
    void TearDown() override { SetCertSource(nullptr); }

    static std::vector<Bytes> Found(CertKey key, const std::string& hex) {
        std::vector<Bytes> out;
        for (X509Ptr& c : FindCertsAtHand(key, hex)) out.push_back(Der(c.get()));
        return out;
    }
};

TEST_F(CertsAtHand, EveryFormOfFileIsReadAndOnlyTheNamedCertificatesReturn) {
    X509Ptr withSki = MakeCert("0A", "0102030405060708090A0B0C0D0E0F1011121314");
    X509Ptr inPem = MakeCert("0B");
    X509Ptr inDerBundle = MakeCert("0C");
    X509Ptr inPemBundle = MakeCert("0D");
    X509Ptr highBit = MakeCert("80");  // its DER serial is 00 80
    X509Ptr other = MakeCert("0E");
    Host::candidates = {Der(withSki.get()), Pem({other.get(), inPem.get()}),
                        Bundle({other.get(), inDerBundle.get()}, false), Bundle({inPemBundle.get()}, true),
                        Der(highBit.get()), Bytes{'n', 'o', 'n', 'e'}, Bytes{}};
    const struct {
        const char* name;
        CertKey key;
        std::string hex;
        X509* expected;  // nullptr: none
    } cases[] = {
        {"subject key identifier", CertKey::KeyId, "0102030405060708090A0B0C0D0E0F1011121314", withSki.get()},
        {"key hash of a certificate with another identifier", CertKey::KeyId, KeyHash(withSki.get()), withSki.get()},
        {"second certificate of a PEM file", CertKey::Serial, "0B", inPem.get()},
        {"DER bundle", CertKey::Serial, "0C", inDerBundle.get()},
        {"PEM bundle", CertKey::KeyId, KeyHash(inPemBundle.get()), inPemBundle.get()},
        {"leading zero asked", CertKey::Serial, "0080", highBit.get()},
        {"leading zero written", CertKey::Serial, "80", highBit.get()},
        {"serial number given as a key", CertKey::KeyId, "0B", nullptr},
        {"nobody's", CertKey::Serial, "0F", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<Bytes> found = Found(c.key, c.hex);
        if (!c.expected) {
            EXPECT_TRUE(found.empty());
            continue;
        }
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0], Der(c.expected));
    }
}

TEST_F(CertsAtHand, TheHostsWorkLeavesNothingBehind) {
    X509Ptr cert = MakeCert("11");
    Host::candidates = {Der(cert.get())};
    Fail(ZK_E_SOCKET, "the operation's own");
    SetCurrentLibrary(2);
    EXPECT_EQ(Found(CertKey::Serial, "11").size(), 1u);
    EXPECT_EQ(LastErrorText(), "the operation's own");
    EXPECT_EQ(CurrentLibrary(), 2);
    ClearError();
    SetCurrentLibrary(-1);

    SetCertSource(nullptr);  // no host: nothing beyond the centres (none here)
    EXPECT_TRUE(Found(CertKey::Serial, "11").empty());
}

TEST_F(CertsAtHand, SearchesAreBounded) {
    // Many certificates with one serial number: kMaxCertsFound come back,
    // and the host is told to stop there.
    for (int i = 0; i < 40; ++i) Host::candidates.push_back(Der(MakeCert("21").get()));
    EXPECT_EQ(Found(CertKey::Serial, "21").size(), kMaxCertsFound);
    EXPECT_EQ(Host::handed, kMaxCertsFound);

    // A host that offers nothing useful is stopped after kMaxCandidates.
    Host::candidates.assign(kMaxCandidates + 100, Der(MakeCert("22").get()));
    Host::handed = 0;
    EXPECT_TRUE(Found(CertKey::Serial, "23").empty());
    EXPECT_EQ(Host::handed, kMaxCandidates);

    // A file too large to be a certificate file is not read.
    Bytes huge = Pem({MakeCert("24").get()});
    huge.resize(kMaxCandidateBytes + 1, '\n');
    Host::candidates = {huge};
    EXPECT_TRUE(Found(CertKey::Serial, "24").empty());
}

}  // namespace
}  // namespace zkd
