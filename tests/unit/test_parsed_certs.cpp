// The provider's cache of parsed certificates: found only by the exact bytes,
// shared rather than copied, bounded, and safe to hold after it lets go.
#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/x509.h>

#include <vector>

#include "zelkord/ParsedCerts.h"

namespace {

using zkd::X509Ptr;

// A small self-signed certificate with the given serial, as DER.
std::vector<uint8_t> MakeCertDer(long serial) {
    zk::PKeyPtr key(EVP_EC_gen("P-256"));
    X509Ptr cert(X509_new());
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("cache"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_sign(cert.get(), key.get(), EVP_sha256());
    unsigned char* der = nullptr;
    int len = i2d_X509(cert.get(), &der);
    std::vector<uint8_t> out(der, der + len);
    OPENSSL_free(der);
    return out;
}

X509Ptr Parse(const std::vector<uint8_t>& der) {
    const unsigned char* p = der.data();
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

class ParsedCerts : public ::testing::Test {
protected:
    void SetUp() override { zkd::ForgetParsedCerts(); }
    void TearDown() override { zkd::ForgetParsedCerts(); }
};

TEST_F(ParsedCerts, FoundOnlyByTheExactBytesAndShared) {
    std::vector<uint8_t> der = MakeCertDer(1);
    X509Ptr parsed = Parse(der);
    zkd::KeepParsedCert(der.data(), der.size(), parsed.get());

    X509Ptr hit = zkd::FindParsedCert(der.data(), der.size());
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit.get(), parsed.get());  // another reference, not a copy

    std::vector<uint8_t> longer = der;
    longer.push_back(0);  // d2i would read the same certificate from these bytes
    std::vector<uint8_t> changed = der;
    changed[der.size() / 2] ^= 1;
    for (const auto& other : {longer, changed, std::vector<uint8_t>(der.begin(), der.end() - 1)})
        EXPECT_FALSE(zkd::FindParsedCert(other.data(), other.size()));
    EXPECT_FALSE(zkd::FindParsedCert(nullptr, 0));
}

TEST_F(ParsedCerts, OutlivesTheCallersReferenceAndIsForgotten) {
    std::vector<uint8_t> der = MakeCertDer(2);
    {
        X509Ptr parsed = Parse(der);
        zkd::KeepParsedCert(der.data(), der.size(), parsed.get());
    }  // the caller's reference is gone; the cache's keeps the object
    X509Ptr hit = zkd::FindParsedCert(der.data(), der.size());
    ASSERT_TRUE(hit);
    EXPECT_EQ(ASN1_INTEGER_get(X509_get0_serialNumber(hit.get())), 2);

    zkd::ForgetParsedCerts();
    EXPECT_FALSE(zkd::FindParsedCert(der.data(), der.size()));
    EXPECT_EQ(ASN1_INTEGER_get(X509_get0_serialNumber(hit.get())), 2);  // a holder's reference stays good
}

TEST_F(ParsedCerts, BoundedKeepingTheRecentlyUsed) {
    std::vector<std::vector<uint8_t>> ders;
    for (size_t i = 0; i <= zkd::kParsedCertsKept; ++i) ders.push_back(MakeCertDer(100 + static_cast<long>(i)));
    for (size_t i = 0; i < zkd::kParsedCertsKept; ++i)
        zkd::KeepParsedCert(ders[i].data(), ders[i].size(), Parse(ders[i]).get());
    ASSERT_TRUE(zkd::FindParsedCert(ders[0].data(), ders[0].size()));  // now the most recently used

    zkd::KeepParsedCert(ders.back().data(), ders.back().size(), Parse(ders.back()).get());
    EXPECT_TRUE(zkd::FindParsedCert(ders[0].data(), ders[0].size()));
    EXPECT_FALSE(zkd::FindParsedCert(ders[1].data(), ders[1].size()));  // the least recently used went
    EXPECT_TRUE(zkd::FindParsedCert(ders.back().data(), ders.back().size()));

    std::vector<uint8_t> huge = ders[2];
    huge.resize(zkd::kParsedCertMaxBytes + 1);
    X509Ptr parsed = Parse(huge);  // d2i reads the certificate and ignores the rest
    ASSERT_TRUE(parsed);
    zkd::KeepParsedCert(huge.data(), huge.size(), parsed.get());
    EXPECT_FALSE(zkd::FindParsedCert(huge.data(), huge.size()));
}

}  // namespace
