// The work of password-based key derivations that key files ask for
// (DerivationBudget.h): counts read from the algorithm parameters, capped per
// file before anything is derived; and the give-up check of the host, asked
// by the derivations themselves while they run (DerivationContext.h).
#include <gtest/gtest.h>

#include <openssl/asn1t.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zelkord/DerivationBudget.h"
#include "zelkord/Errors.h"
#include "zelkord/GiveUp.h"
#include "zelkord/KeyFile.h"

namespace zkd {
namespace {

using AlgPtr = std::unique_ptr<X509_ALGOR, OsslFree<X509_ALGOR_free>>;
constexpr uint64_t kCap = kMaxKeyDerivationIterations;

AlgPtr Pbkdf2(int iterations) {
    unsigned char salt[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    return AlgPtr(PKCS5_pbe2_set_iv(EVP_aes_256_cbc(), iterations, salt, sizeof salt, nullptr, NID_hmacWithSHA256));
}

AlgPtr Pbe(int nid, int iterations) {
    return AlgPtr(PKCS5_pbe_set(nid, iterations, nullptr, 0));
}

// PBES2 with the key derivation function kdf (its parameters packed as given).
AlgPtr Pbes2(int kdf, ASN1_STRING* kdfParams) {
    PBE2PARAM* pbe2 = PBE2PARAM_new();
    X509_ALGOR_set0(pbe2->keyfunc, OBJ_nid2obj(kdf), kdfParams ? V_ASN1_SEQUENCE : V_ASN1_UNDEF, kdfParams);
    X509_ALGOR_set0(pbe2->encryption, OBJ_nid2obj(NID_aes_256_cbc), V_ASN1_UNDEF, nullptr);
    AlgPtr alg(X509_ALGOR_new());
    X509_ALGOR_set0(alg.get(), OBJ_nid2obj(NID_pbes2), V_ASN1_SEQUENCE,
                    ASN1_item_pack(pbe2, ASN1_ITEM_rptr(PBE2PARAM), nullptr));
    PBE2PARAM_free(pbe2);
    return alg;
}

// scrypt's parameters as written, whatever they ask for (OpenSSL's own
// maker refuses some of them).
AlgPtr Scrypt(uint64_t n, uint64_t r, uint64_t p) {
    SCRYPT_PARAMS* s = SCRYPT_PARAMS_new();
    ASN1_OCTET_STRING_set(s->salt, reinterpret_cast<const unsigned char*>("saltsalt"), 8);
    ASN1_INTEGER_set_uint64(s->costParameter, n);
    ASN1_INTEGER_set_uint64(s->blockSize, r);
    ASN1_INTEGER_set_uint64(s->parallelizationParameter, p);
    ASN1_STRING* packed = ASN1_item_pack(s, ASN1_ITEM_rptr(SCRYPT_PARAMS), nullptr);
    SCRYPT_PARAMS_free(s);
    return Pbes2(NID_id_scrypt, packed);
}

TEST(DerivationBudget, CountsEveryPasswordBasedSchemeAgainstOneCapPerFile) {
    struct Case {
        const char* name;
        std::function<std::vector<AlgPtr>()> algs;
        int code;  // of the last Spend
    };
    const Case cases[] = {
        {"PBKDF2 at the cap", [] { std::vector<AlgPtr> v; v.push_back(Pbkdf2(kCap)); return v; }, 0},
        {"PBKDF2 one above", [] { std::vector<AlgPtr> v; v.push_back(Pbkdf2(kCap + 1)); return v; }, 7},
        {"two halves fit", [] { std::vector<AlgPtr> v; v.push_back(Pbkdf2(kCap / 2)); v.push_back(Pbkdf2(kCap / 2)); return v; }, 0},
        {"a third derivation of one", [] { std::vector<AlgPtr> v; v.push_back(Pbkdf2(kCap / 2)); v.push_back(Pbkdf2(kCap / 2)); v.push_back(Pbkdf2(1)); return v; }, 7},
        {"PKCS#12 3DES scheme", [] { std::vector<AlgPtr> v; v.push_back(Pbe(NID_pbe_WithSHA1And3_Key_TripleDES_CBC, kCap + 1)); return v; }, 7},
        {"PKCS#12 RC2-40 scheme (a legacy cipher)", [] { std::vector<AlgPtr> v; v.push_back(Pbe(NID_pbe_WithSHA1And40BitRC2_CBC, kCap + 1)); return v; }, 7},
        {"PKCS#5 v1.5 MD5 scheme", [] { std::vector<AlgPtr> v; v.push_back(Pbe(NID_pbeWithMD5AndDES_CBC, kCap)); return v; }, 0},
        {"scrypt within the cap", [] { std::vector<AlgPtr> v; v.push_back(Scrypt(1024, 8, 1220)); return v; }, 0},
        {"scrypt work N*r*p above it", [] { std::vector<AlgPtr> v; v.push_back(Scrypt(1024, 8, 1221)); return v; }, 7},
        {"scrypt memory above 32 MiB", [] { std::vector<AlgPtr> v; v.push_back(Scrypt(1 << 18, 8, 1)); return v; }, 7},
        {"scrypt p of 2^64 - 1", [] { std::vector<AlgPtr> v; v.push_back(Scrypt(2, 1, UINT64_MAX)); return v; }, 7},
        {"scrypt N not a power of two", [] { std::vector<AlgPtr> v; v.push_back(Scrypt(1000, 8, 1)); return v; }, 7},
        {"PBES2 without KDF parameters", [] { std::vector<AlgPtr> v; v.push_back(Pbes2(NID_id_pbkdf2, nullptr)); return v; }, 7},
        {"PBES2 with an unknown KDF", [] { std::vector<AlgPtr> v; v.push_back(Pbes2(NID_sha256, nullptr)); return v; }, 7},
        {"a cipher alone derives nothing", [] {
             std::vector<AlgPtr> v;
             v.emplace_back(X509_ALGOR_new());
             X509_ALGOR_set0(v.back().get(), OBJ_nid2obj(NID_aes_256_cbc), V_ASN1_UNDEF, nullptr);
             v.push_back(Pbkdf2(kCap));
             return v;
         }, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DerivationBudget budget;
        int rc = 0;
        for (const AlgPtr& alg : c.algs()) {
            ASSERT_TRUE(alg);
            if ((rc = budget.Spend(alg.get())) != 0) break;
        }
        EXPECT_EQ(rc, c.code);
        if (rc != 0) {
            EXPECT_FALSE(LastErrorText().empty());
        }
    }
}

TEST(DerivationBudget, TheMacCountsEachTry) {
    std::unique_ptr<PKCS12, OsslFree<PKCS12_free>> p12(PKCS12_init(NID_pkcs7_data));
    ASSERT_TRUE(p12);
    DerivationBudget none;
    EXPECT_EQ(none.SpendMac(p12.get(), 2), 0);  // no MAC, nothing to derive
    EXPECT_EQ(none.Left(), kCap);
    ASSERT_EQ(PKCS12_setup_mac(p12.get(), static_cast<int>(kCap / 2 + 1), nullptr, 0, EVP_sha256()), 1);
    DerivationBudget once, twice;
    EXPECT_EQ(once.SpendMac(p12.get(), 1), 0);
    EXPECT_EQ(twice.SpendMac(p12.get(), 2), 7);  // an empty password is tried as two encodings
}

// A key file of ours (PBES2 with PBKDF2, 10,000 iterations each derivation).
std::string KeyFileBytes(KeyFileKind kind, const char* password) {
    KeyFile file;
    file.keys.emplace_back();
    file.keys.back().key.reset(EVP_EC_gen("P-256"));
    Bytes out;
    EXPECT_EQ(WriteKeyFile(file, kind, password, out), 0);
    return std::string(out.begin(), out.end());
}

// A PKCS#12 file as older tools make it: the certificate under RC2-40 (a
// cipher of OpenSSL's legacy provider), the key under the PKCS#12 3DES
// scheme, a SHA-1 MAC; made in a library context of its own.
std::string LegacyPkcs12(const char* password) {
    std::unique_ptr<OSSL_LIB_CTX, OsslFree<OSSL_LIB_CTX_free>> ctx(OSSL_LIB_CTX_new());
    OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(ctx.get(), "legacy");
    OSSL_PROVIDER* def = OSSL_PROVIDER_load(ctx.get(), "default");
    EXPECT_TRUE(legacy && def) << "the legacy provider module is installed with libssl3";
    PKeyPtr key(EVP_EC_gen("P-256"));
    X509Ptr cert(X509_new());
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("legacy"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), key.get());
    EXPECT_GT(X509_sign(cert.get(), key.get(), EVP_sha256()), 0);
    std::unique_ptr<PKCS12, OsslFree<PKCS12_free>> p12(
        PKCS12_create_ex(password, "legacy", key.get(), cert.get(), nullptr, NID_pbe_WithSHA1And3_Key_TripleDES_CBC,
                         NID_pbe_WithSHA1And40BitRC2_CBC, 2048, 2048, 0, ctx.get(), nullptr));
    EXPECT_TRUE(p12);
    unsigned char* der = nullptr;
    const int len = p12 ? i2d_PKCS12(p12.get(), &der) : 0;
    std::string out(reinterpret_cast<char*>(der), len > 0 ? static_cast<size_t>(len) : 0);
    OPENSSL_free(der);
    if (legacy) OSSL_PROVIDER_unload(legacy);
    if (def) OSSL_PROVIDER_unload(def);
    return out;
}

// The host's side of the check: counts the questions, gives up from the nth.
struct Host {
    static inline int asked = 0;
    static inline int giveUpAt = 0;  // 0: never
    static int Check() {
        ++asked;
        return giveUpAt != 0 && asked >= giveUpAt;
    }
};

class GiveUp : public ::testing::Test {
protected:
    void SetUp() override {
        Host::asked = Host::giveUpAt = 0;
        SetGiveUpCheck(&Host::Check);
    }
    void TearDown() override { SetGiveUpCheck(nullptr); }
    int Open(const std::string& bytes) {
        KeyFile file;
        return OpenKeyFile(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), "pass", file);
    }
};

TEST_F(GiveUp, DerivationsAskWhileTheyRunAndStopWhenTheHostGivesUp) {
    for (KeyFileKind kind : {KeyFileKind::Pkcs8Der, KeyFileKind::Pkcs12}) {
        SCOPED_TRACE(kind == KeyFileKind::Pkcs12 ? "PKCS#12 (MAC and key)" : "PKCS#8");
        const std::string bytes = KeyFileBytes(kind, "pass");
        Host::asked = Host::giveUpAt = 0;
        EXPECT_EQ(Open(bytes), 0);
        const int whole = Host::asked;
        // Asked from inside the iterations (every 512 digest steps), not only
        // between derivations.
        EXPECT_GT(whole, 20);

        Host::asked = 0;
        Host::giveUpAt = 4;
        EXPECT_EQ(Open(bytes), ZK_E_USER_DECLINED);
        EXPECT_EQ(LastErrorText(), "key derivation: the request was given up");
        EXPECT_LE(Host::asked, 5) << "nothing more is derived once it gave up";
    }
}

TEST_F(GiveUp, OldCiphersAreReadInTheDerivationContextOnly) {
    const std::string bytes = LegacyPkcs12("pass");
    ASSERT_FALSE(bytes.empty());
    KeyFile file;
    EXPECT_EQ(OpenKeyFile(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), "pass", file), 0)
        << LastErrorText();
    EXPECT_EQ(file.keys.size(), 1u);
    EXPECT_EQ(file.certs.size(), 1u);
    EXPECT_GT(Host::asked, 20) << "the RC2-40 and 3DES derivations ask the host as well";

    Host::asked = 0;
    Host::giveUpAt = 4;
    EXPECT_EQ(Open(bytes), ZK_E_USER_DECLINED);

    // What the library writes is made in the default context, which has no
    // legacy cipher to pick.
    std::unique_ptr<EVP_CIPHER, OsslFree<EVP_CIPHER_free>> rc2(EVP_CIPHER_fetch(nullptr, "RC2-40-CBC", nullptr));
    EXPECT_FALSE(rc2);
}

TEST_F(GiveUp, AWrongPasswordStaysAWrongPassword) {
    const std::string bytes = KeyFileBytes(KeyFileKind::Pkcs12, "other");
    EXPECT_EQ(Open(bytes), ZK_E_SIGN_OR_PASSWORD);
    const std::string empty = KeyFileBytes(KeyFileKind::Pkcs12, "");
    KeyFile file;
    EXPECT_EQ(OpenKeyFile(reinterpret_cast<const uint8_t*>(empty.data()), empty.size(), "", file), 0);
}

}  // namespace
}  // namespace zkd
