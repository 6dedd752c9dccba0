// Keys on a token as the provider's operations use them (PrivateKey.h): CMS
// signatures, decryption of envelopes that openssl cms made (RSA-OAEP and EC
// key agreement, done in the token), keys that ask for the PIN at every use,
// and the rules of connections (one per token at a time, a key keeping its
// connection while it is in use). Against a SoftHSM2 token made per test.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <gtest/gtest.h>

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "../unit/TestUtil.h"
#include "zelkord/Errors.h"
#include "zelkord/Pkcs11.h"
#include "zelkord/PrivateKey.h"
#include "zelkord/TokenConnection.h"
#include "zelkord/TokenObjects.h"
#include "zelkord/TokenPrivateKey.h"

namespace zkd {
namespace {

constexpr char kPin[] = "4321-pin";

int Shell(const std::string& command) { return std::system(command.c_str()); }

class TokenKeys : public ::testing::Test {
protected:
    void SetUp() override {
        zktest::WriteFile(dir.file("softhsm2.conf"), "directories.tokendir = " + dir.file("tokens") +
                                                          "\nobjectstore.backend = file\nlog.level = ERROR\n");
        std::filesystem::create_directories(dir.file("tokens"));
        setenv("SOFTHSM2_CONF", dir.file("softhsm2.conf").c_str(), 1);
        ASSERT_EQ(Shell("softhsm2-util --init-token --free --label keys --so-pin so-1234 --pin " + std::string(kPin) +
                        " >/dev/null"),
                  0);
        zktest::WriteFile(dir.file("ZelkorH.ini"), "[Dongles]\nT=/usr/lib/softhsm/libsofthsm2.so\n");
        ConfigureTokenProviders(dir.file("ZelkorH.ini"));
        for (const TokenProvider& p : TokenProviders()) {
            CK_ULONG n = 0;
            p.module->f().C_GetSlotList(CK_TRUE, nullptr, &n);
            std::vector<CK_SLOT_ID> ids(n);
            p.module->f().C_GetSlotList(CK_TRUE, ids.data(), &n);
            for (CK_SLOT_ID id : ids) {
                CK_TOKEN_INFO info;
                if (p.module->f().C_GetTokenInfo(id, &info) == CKR_OK && TrimBlanks(info.label, 32) == "keys")
                    SlotNumber(id, slot);
            }
        }
        ASSERT_EQ(ConnectToken("T", slot, kPin, &handle), 0);
        ca.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    }
    void TearDown() override {
        if (handle) DisconnectToken(handle);
        ReleaseTokenProviders();
    }

    // A key pair made on the token, and a certificate of it from the test's CA.
    X509Ptr OnToken(const KeyPairKind& kind, const char* name) {
        GeneratedKeyPair pair;
        std::shared_ptr<TokenConnection> c = FindConnection(handle);
        {
            std::lock_guard<std::mutex> hold(c->lock());
            EXPECT_EQ(GenerateTokenKeyPair(*c, kind, name, pair), 0);
        }
        return Certify(pair.publicPKey.get(), name);
    }
    X509Ptr Certify(EVP_PKEY* key, const char* name) {
        X509Ptr x(X509_new());
        X509_set_version(x.get(), 2);
        ASN1_INTEGER_set(X509_get_serialNumber(x.get()), ++serial);
        X509_gmtime_adj(X509_getm_notBefore(x.get()), -60);
        X509_gmtime_adj(X509_getm_notAfter(x.get()), 3600);
        X509_NAME_add_entry_by_txt(X509_get_subject_name(x.get()), "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(name), -1, -1, 0);
        X509_NAME_add_entry_by_txt(X509_get_issuer_name(x.get()), "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("test ca"), -1, -1, 0);
        X509_set_pubkey(x.get(), key);
        EXPECT_GT(X509_sign(x.get(), ca.get(), EVP_sha256()), 0);
        // As every certificate reaches the provider: parsed from its bytes.
        unsigned char* der = nullptr;
        int len = i2d_X509(x.get(), &der);
        X509Ptr parsed = ParseCertificate(der, static_cast<size_t>(len));
        OPENSSL_free(der);
        return parsed;
    }
    std::string WritePem(X509* x, const char* file) {
        BioPtr bio(BIO_new_file(dir.file(file).c_str(), "w"));
        PEM_write_bio_X509(bio.get(), x);
        return dir.file(file);
    }
    // Enveloped by openssl cms for the certificate, then opened with the token key.
    std::string OpenEnvelope(X509* cert, const std::string& options) {
        zktest::WriteFile(dir.file("plain.txt"), "envelope content");
        std::string recipient = WritePem(cert, "recipient.pem");
        EXPECT_EQ(Shell("openssl cms -encrypt -binary -aes256 -outform DER -in " + dir.file("plain.txt") + " -out " +
                        dir.file("env.der") + " -recip " + recipient + " " + options),
                  0);
        std::string der = zktest::ReadFile(dir.file("env.der"));
        const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
        CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
        PrivateKey key;
        EXPECT_EQ(OpenPrivateKey(nullptr, handle, "", cert, key), 0);
        BioPtr out(BIO_new(BIO_s_mem()));
        if (!cms || CMS_decrypt(cms.get(), key.get(), cert, nullptr, out.get(), CMS_BINARY) != 1) {
            ERR_print_errors_fp(stderr);
            return {};
        }
        char* text = nullptr;
        long n = BIO_get_mem_data(out.get(), &text);
        return std::string(text, static_cast<size_t>(n));
    }
    bool SignsAndVerifies(X509* cert, EVP_PKEY* key) {
        BioPtr in(BIO_new_mem_buf("signed in the token", -1));
        CmsPtr cms(CMS_sign(cert, key, nullptr, in.get(), CMS_BINARY));
        X509_STORE* store = X509_STORE_new();
        X509_STORE_add_cert(store, cert);
        bool ok = cms && CMS_verify(cms.get(), nullptr, store, nullptr, nullptr, CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) == 1;
        X509_STORE_free(store);
        ERR_clear_error();
        return ok;
    }

    zktest::TempDir dir;
    int32_t slot = -1;
    ZKTokenKey handle = 0;
    PKeyPtr ca;
    long serial = 0;
};

TEST_F(TokenKeys, EnvelopesOpenInTheToken) {
    KeyPairKind rsa;
    rsa.rsaBits = 2048;
    rsa.agree = true;
    X509Ptr rsaCert = OnToken(rsa, "rsa");
    EXPECT_EQ(OpenEnvelope(rsaCert.get(), "-keyopt rsa_padding_mode:oaep"), "envelope content");
    EXPECT_EQ(OpenEnvelope(rsaCert.get(), ""), "envelope content") << "PKCS#1 v1.5 key transport";

    KeyPairKind ec;
    ec.ecNid = NID_X9_62_prime256v1;
    ec.agree = true;
    X509Ptr ecCert = OnToken(ec, "ec");
    EXPECT_EQ(OpenEnvelope(ecCert.get(), ""), "envelope content") << "ECDH key agreement";
}

TEST_F(TokenKeys, SignaturesAndTheKeyOfTheCertificate) {
    KeyPairKind ec;
    ec.ecNid = NID_secp384r1;
    X509Ptr cert = OnToken(ec, "p384");
    PrivateKey key;
    ASSERT_EQ(OpenPrivateKey(nullptr, handle, "", cert.get(), key), 0);
    EXPECT_TRUE(SignsAndVerifies(cert.get(), key.get()));

    // RSA-PSS: OpenSSL pads, the token exponentiates.
    KeyPairKind rsa;
    rsa.rsaBits = 2048;
    X509Ptr rsaCert = OnToken(rsa, "rsa");
    ASSERT_EQ(OpenPrivateKey(nullptr, handle, "", rsaCert.get(), key), 0);
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = nullptr;
    unsigned char sig[512];
    size_t sigLen = sizeof sig;
    ASSERT_EQ(EVP_DigestSignInit(md, &pctx, EVP_sha256(), nullptr, key.get()), 1);
    EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING);
    ASSERT_EQ(EVP_DigestSign(md, sig, &sigLen, reinterpret_cast<const unsigned char*>("pss"), 3), 1);
    EVP_MD_CTX_reset(md);
    ASSERT_EQ(EVP_DigestVerifyInit(md, &pctx, EVP_sha256(), nullptr, X509_get0_pubkey(rsaCert.get())), 1);
    EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING);
    EXPECT_EQ(EVP_DigestVerify(md, sig, sigLen, reinterpret_cast<const unsigned char*>("pss"), 3), 1);
    EVP_MD_CTX_free(md);

    // A certificate whose key the token does not hold, and a handle that is no connection.
    PKeyPtr other(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    X509Ptr stranger = Certify(other.get(), "stranger");
    EXPECT_EQ(OpenPrivateKey(nullptr, handle, "", stranger.get(), key), ZK_E_KEY_MISMATCH);
    EXPECT_EQ(OpenPrivateKey(nullptr, handle + 1000, "", cert.get(), key), ZK_E_DONGLE);
    EXPECT_EQ(CheckKeyReachable(nullptr, handle + 1000), ZK_E_DONGLE);
    EXPECT_EQ(CheckKeyReachable(nullptr, handle), 0);
}

TEST_F(TokenKeys, KeysThatAskForThePinAtEveryUse) {
    std::shared_ptr<TokenConnection> c = FindConnection(handle);
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    {
        std::lock_guard<std::mutex> hold(c->lock());
        unsigned char p256[] = {0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};
        unsigned char id = 0x5A;
        CK_BBOOL yes = CK_TRUE;
        CK_MECHANISM m{CKM_EC_KEY_PAIR_GEN, nullptr, 0};
        CK_ATTRIBUTE pubT[] = {{CKA_TOKEN, &yes, 1}, {CKA_EC_PARAMS, p256, sizeof p256}, {CKA_ID, &id, 1}};
        CK_ATTRIBUTE privT[] = {{CKA_TOKEN, &yes, 1}, {CKA_PRIVATE, &yes, 1}, {CKA_SIGN, &yes, 1},
                                {CKA_ALWAYS_AUTHENTICATE, &yes, 1}, {CKA_ID, &id, 1}};
        ASSERT_EQ(c->f().C_GenerateKeyPair(c->session(), &m, pubT, 3, privT, 5, &pub, &priv), CKR_OK);
    }
    PKeyPtr publicKey;
    {
        std::lock_guard<std::mutex> hold(c->lock());
        publicKey = TokenPublicKey(*c, priv);
    }
    ASSERT_TRUE(publicKey);
    X509Ptr cert = Certify(publicKey.get(), "always");
    PrivateKey key;
    ASSERT_EQ(OpenPrivateKey(nullptr, handle, "", cert.get(), key), 0);
    EXPECT_TRUE(SignsAndVerifies(cert.get(), key.get()));
    EXPECT_TRUE(SignsAndVerifies(cert.get(), key.get())) << "and again: the PIN is given at each use";
}

TEST_F(TokenKeys, OneConnectionPerTokenAtATime) {
    KeyPairKind ec;
    ec.ecNid = NID_X9_62_prime256v1;
    X509Ptr cert = OnToken(ec, "ec");
    ZKTokenKey second = 0;
    // The same thread asking again would wait for itself: refused at once.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ConnectToken("T", slot, kPin, &second), ZK_E_DONGLE);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

    // Another thread waits until the token is free.
    std::atomic<int> rc{-1};
    std::thread other([&] { rc = ConnectToken("T", slot, kPin, &second); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(rc.load(), -1) << "still waiting";

    // A key in use keeps its connection after the handle is dropped.
    PrivateKey key;
    ASSERT_EQ(OpenPrivateKey(nullptr, handle, "", cert.get(), key), 0);
    ASSERT_EQ(DisconnectToken(handle), 0);
    EXPECT_EQ(DisconnectToken(handle), ZK_E_DONGLE) << "a handle ends once";
    handle = 0;
    EXPECT_TRUE(SignsAndVerifies(cert.get(), key.get()));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(rc.load(), -1) << "the key still holds the token";
    key = PrivateKey();
    other.join();
    EXPECT_EQ(rc.load(), 0);
    EXPECT_EQ(DisconnectToken(second), 0);
}

TEST_F(TokenKeys, PinsTheTokenCannotTakeAreNotTried) {
    ASSERT_EQ(DisconnectToken(handle), 0);
    handle = 0;
    ZKTokenKey h = 0;
    EXPECT_EQ(ConnectToken("T", slot, "", &h), ZK_E_SIGN_OR_PASSWORD);
    EXPECT_EQ(ConnectToken("T", slot, "123", &h), ZK_E_SIGN_OR_PASSWORD);
    EXPECT_EQ(ConnectToken("T", slot, std::string(300, '7').c_str(), &h), ZK_E_SIGN_OR_PASSWORD);
    EXPECT_EQ(ConnectToken("T", slot, "wrong-pin", &h), ZK_E_SIGN_OR_PASSWORD);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(ConnectToken("Nope", slot, kPin, &h), ZK_E_DONGLE);
    EXPECT_EQ(ConnectToken("T", slot + 1, kPin, &h), ZK_E_DONGLE);
    ASSERT_EQ(ConnectToken("T", slot, kPin, &h), 0) << "the refusals left the token usable";
    EXPECT_EQ(DisconnectToken(h), 0);
}

}  // namespace
}  // namespace zkd
