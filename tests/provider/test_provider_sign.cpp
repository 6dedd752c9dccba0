// The provider's signing slots 15 and 51 called directly: the sizing call's
// bound and the length written back, the argument faults, and the result
// checked by the openssl command line.
#include <openssl/crypto.h>
#include <openssl/rand.h>

#include "../unit/DiscoveryFixture.h"
#include "ProviderBytes.h"
#include "platform/CodePage.h"

namespace {

using zk::provider::Call;
using zk::provider::CallSlot;
using zk::provider::Exports;
using namespace zktest;  // fixtures, shell helpers and the byte helpers of ProviderBytes.h


class SignSlots : public zktest::DiscoveryFixture {
protected:
    void SetUp() override {
        DiscoveryFixture::SetUp();
        pki.Ca("ca");
        pki.User("ec", "ca");
        pki.User("other", "ca");
        pki.KeyFile(pki.path("ec.pfx"), "p12", "1234", "ec");
        cert = zktest::ReadFile(pki.path("ec.cer"));
        key = zktest::ReadFile(pki.path("ec.pfx"));
        lib = zk::provider::SelectLibrary("UA1");
    }
    template <int Slot>
    int Sign(const Bytes& data, uint8_t* out, uint32_t* outLen, const Bytes& withKey, const Bytes& withCert,
             const char* pass = "1234") {
        return CallSlot<Slot>(lib, U(data), L(data), out, outLen, U(withKey), ZKKeyLen{L(withKey)}, U(withCert),
                              L(withCert), pass);
    }
    // Two calls as the host makes them; the written length is the result's.
    template <int Slot>
    int TwoCalls(const Bytes& data, Bytes& out, uint32_t* bound = nullptr) {
        uint32_t len = 0;
        if (int rc = Sign<Slot>(data, nullptr, &len, key, cert)) return rc;
        if (bound) *bound = len;
        out.assign(len, '\0');
        int rc = Sign<Slot>(data, reinterpret_cast<uint8_t*>(out.data()), &len, key, cert);
        out.resize(rc == 0 ? len : 0);
        return rc;
    }
    bool OpensslVerifies(const Bytes& signature, const Bytes* detachedContent, Bytes* content) {
        zktest::WriteFile(dir.file("sig.der"), signature);
        std::string cmd = "openssl cms -verify -cades -binary -inform DER -in " + ShellQuote(dir.file("sig.der")) +
                          " -CAfile " + ShellQuote(pki.path("ca.pem")) + " -out " + ShellQuote(dir.file("out.bin"));
        if (detachedContent) {
            zktest::WriteFile(dir.file("content.bin"), *detachedContent);
            cmd += " -content " + ShellQuote(dir.file("content.bin"));
        }
        bool ok = RunCommand(cmd + " 2>/dev/null") == 0;
        if (content) *content = zktest::ReadFile(dir.file("out.bin"));
        return ok;
    }

    Bytes cert, key;
    int lib = -1;
};

// ECDSA signatures vary in length: the sizing call gives a bound that every
// signing fits, and the second call writes the actual length.
TEST_F(SignSlots, SizingCallBoundsEverySignature) {
    const Bytes data(1000, 'x');
    for (int i = 0; i < 12; ++i) {
        Bytes out;
        uint32_t bound = 0;
        ASSERT_EQ(TwoCalls<ZKLD_SLOT_SIGN>(data, out, &bound), 0);
        EXPECT_LE(out.size(), bound);
        EXPECT_GT(out.size(), data.size());
    }
    Bytes content, attached, detached;
    ASSERT_EQ(TwoCalls<ZKLD_SLOT_SIGN>(data, attached), 0);
    EXPECT_TRUE(OpensslVerifies(attached, nullptr, &content));
    EXPECT_EQ(content, data);
    ASSERT_EQ(TwoCalls<ZKLD_SLOT_SIGN_DETACHED>(data, detached), 0);
    EXPECT_LT(detached.size(), data.size());
    EXPECT_TRUE(OpensslVerifies(detached, &data, nullptr));
}

TEST_F(SignSlots, EmptyDocumentSigns) {
    Bytes out, content = "unchanged";
    ASSERT_EQ(TwoCalls<ZKLD_SLOT_SIGN>("", out), 0);
    EXPECT_TRUE(OpensslVerifies(out, nullptr, &content));
    EXPECT_EQ(content, "");
}

TEST_F(SignSlots, FaultsGiveTheirCodes) {
    const Bytes data = "abc", other = zktest::ReadFile(pki.path("other.cer"));
    uint8_t small[16];
    uint32_t smallLen = sizeof small;
    EXPECT_EQ(Sign<ZKLD_SLOT_SIGN>(data, small, &smallLen, key, cert), 56) << "buffer smaller than the result";
    uint8_t out[4096];
    uint32_t len = sizeof out;
    EXPECT_EQ(Sign<ZKLD_SLOT_SIGN>(data, out, &len, key, cert, "wrong"), 8);
    EXPECT_EQ(Sign<ZKLD_SLOT_SIGN>(data, out, &len, key, other), 6);
    EXPECT_EQ(Sign<ZKLD_SLOT_SIGN>(data, out, &len, key, "not a certificate"), 3);
    EXPECT_EQ(Sign<ZKLD_SLOT_SIGN>(data, out, &len, "not a key", cert), 7);
    EXPECT_EQ(CallSlot<ZKLD_SLOT_SIGN>(lib, U(data), L(data), out, &len, nullptr, ZKKeyLen{1}, U(cert), L(cert), ""),
              ZK_E_DONGLE)
        << "a token key that is not connected";
    EXPECT_EQ(CallSlot<ZKLD_SLOT_SIGN>(99, U(data), L(data), out, &len, U(key), ZKKeyLen{L(key)}, U(cert), L(cert),
                                       "1234"),
              2)
        << "unknown crypto library";
}

// A key kept open (ZKLCTX_OpenKey) signs through its handle, only for its own
// certificate, until it is closed; its secret parts live on the secure heap
// (locked, left out of core dumps, cleared when freed) and leave it when closed.
TEST_F(SignSlots, KeptKeySignsUntilClosedFromTheSecureHeap) {
    ASSERT_TRUE(CRYPTO_secure_malloc_initialized());
    pki.User("rsa", "ca", "--key rsa");
    pki.KeyFile(pki.path("rsa.pfx"), "p12", "1234", "rsa");
    const Bytes rsaCert = zktest::ReadFile(pki.path("rsa.cer")), rsaKey = zktest::ReadFile(pki.path("rsa.pfx"));
    const Bytes other = zktest::ReadFile(pki.path("other.cer")), data(3000, 'k');
    auto open = [&](const Bytes& c, const Bytes& k, const char* pass, ZKTokenKey& handle) {
        return Call<&Exports::ZKLCTX_OpenKey>(U(c), L(c), U(k), L(k), pass, &handle);
    };
    auto sign = [&](ZKTokenKey handle, const Bytes& withCert, Bytes& out) {
        uint32_t len = 0;
        int rc = CallSlot<ZKLD_SLOT_SIGN>(lib, U(data), L(data), nullptr, &len, nullptr, ZKKeyLen{handle}, U(withCert),
                                          L(withCert), "");
        if (rc) return rc;
        out.assign(len, '\0');
        rc = CallSlot<ZKLD_SLOT_SIGN>(lib, U(data), L(data), reinterpret_cast<uint8_t*>(out.data()), &len, nullptr,
                                      ZKKeyLen{handle}, U(withCert), L(withCert), "");
        out.resize(rc == 0 ? len : 0);
        return rc;
    };

    ZKTokenKey none = 7;
    EXPECT_EQ(open(cert, key, "wrong", none), 8);
    EXPECT_EQ(none, 0u);
    EXPECT_EQ(open(other, key, "1234", none), 6) << "the key file holds no key of that certificate";

    // The random generators seed from the secure heap the first time they are used, and keep that.
    uint8_t seed[16];
    ASSERT_EQ(RAND_bytes(seed, sizeof seed), 1);
    ASSERT_EQ(RAND_priv_bytes(seed, sizeof seed), 1);
    const size_t before = CRYPTO_secure_used();
    ZKTokenKey ec = 0, rsa = 0;
    ASSERT_EQ(open(cert, key, "1234", ec), 0);
    ASSERT_EQ(open(rsaCert, rsaKey, "1234", rsa), 0);
    EXPECT_NE(ec, rsa);
    EXPECT_GT(CRYPTO_secure_used(), before) << "the private parts are on the secure heap";
    // The first signature goes through the CMS layer, the next ones through
    // the key's template (SignatureTemplate.h): openssl verifies each.
    for (const auto& [handle, withCert] : {std::pair{ec, cert}, std::pair{rsa, rsaCert}})
        for (int i = 0; i < 3; ++i) {
            Bytes signature, content;
            ASSERT_EQ(sign(handle, withCert, signature), 0);
            EXPECT_TRUE(OpensslVerifies(signature, nullptr, &content));
            EXPECT_EQ(content, data);
        }
    Bytes unused;
    EXPECT_EQ(sign(ec, other, unused), 6) << "a kept key signs only for its own certificate";
    EXPECT_EQ(sign(ec, rsaCert, unused), 6);

    EXPECT_EQ(Call<&Exports::ZKLCTX_CloseKey>(ec), 0);
    EXPECT_EQ(Call<&Exports::ZKLCTX_CloseKey>(rsa), 0);
    EXPECT_EQ(CRYPTO_secure_used(), before) << "closed keys leave the secure heap";
    EXPECT_EQ(sign(ec, cert, unused), ZK_E_DONGLE);
    EXPECT_EQ(Call<&Exports::ZKLCTX_CloseKey>(ec), ZK_E_DONGLE);
}

}  // namespace
