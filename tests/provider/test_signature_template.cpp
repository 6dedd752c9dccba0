// The signature template of kept keys (SignatureTemplate.h) against
// OpenSSL's CMS layer: with an RSA key (deterministic signatures) and the
// same signing time the bytes are the same, for every length form of the
// content and of the signing time; EC signatures verify.
#include <gtest/gtest.h>

#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

#include "zelkord/Cades.h"
#include "zelkord/SignatureTemplate.h"
#include "zelkord/SignedData.h"

namespace zkd {
namespace {

struct Signer {
    PKeyPtr key;
    X509Ptr cert;
};

Signer SelfSigned(EVP_PKEY* key) {
    Signer s{PKeyPtr(key), X509Ptr(X509_new())};
    X509* c = s.cert.get();
    X509_NAME_add_entry_by_txt(X509_get_subject_name(c), "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("Підписувач"), -1, -1, 0);
    X509_set_issuer_name(c, X509_get_subject_name(c));
    ASN1_INTEGER_set(X509_get_serialNumber(c), 0x5eed);
    X509_gmtime_adj(X509_getm_notBefore(c), 0);
    X509_gmtime_adj(X509_getm_notAfter(c), 3600);
    X509_set_pubkey(c, key);
    EXPECT_GT(X509_sign(c, key, EVP_sha256()), 0);
    return s;
}

// What the CMS layer makes: SignContent and EncodeSignedData.
Bytes OpensslSignature(const Signer& s, const Bytes& data, int64_t at, bool attached) {
    SignedAttributes attrs;
    attrs.signingTime = at;
    CmsPtr cms;
    EXPECT_EQ(SignContent(data.data(), data.size(), s.cert.get(), s.key.get(), attrs, nullptr, cms), 0);
    Bytes out(SignatureSizeBound(data.size(), 4096, attrs));
    uint32_t len = static_cast<uint32_t>(out.size());
    EXPECT_EQ(EncodeSignedData(cms.get(), data.data(), data.size(), attached, out.data(), &len), 0);
    out.resize(len);
    return out;
}

Bytes TemplateSignature(const SignatureTemplate& t, const Signer& s, const Bytes& data, int64_t at, bool attached) {
    Bytes out(SignatureSizeBound(data.size(), 4096, SignedAttributes()));
    uint32_t len = static_cast<uint32_t>(out.size());
    EXPECT_EQ(t.Sign(data.data(), data.size(), at, attached, s.key.get(), out.data(), &len), 0);
    out.resize(len);
    return out;
}

bool CmsVerifies(const Bytes& der, const Bytes& data, bool attached) {
    const unsigned char* p = der.data();
    CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
    if (!cms) return false;
    BioPtr content(attached ? nullptr : BIO_new_mem_buf(data.empty() ? "" : static_cast<const void*>(data.data()), static_cast<int>(data.size())));
    BioPtr out(BIO_new(BIO_s_mem()));
    const int ok = CMS_verify(cms.get(), nullptr, nullptr, content.get(), out.get(),
                              CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY);
    char* got = nullptr;
    const long n = BIO_get_mem_data(out.get(), &got);
    return ok == 1 && Bytes(got, got + n) == data;
}

// Lengths at every DER length form of the content and of the structure
// around it, and signing times encoded as UTCTime and as GeneralizedTime.
const size_t kLengths[] = {0, 1, 127, 128, 255, 256, 65535, 65536, 70000};
const int64_t kTimes[] = {1700000000, 946684799, 2524608000};

TEST(SignatureTemplate, GivesTheBytesOfTheCmsLayer) {
    Signer rsa = SelfSigned(EVP_RSA_gen(2048));
    auto t = SignatureTemplate::Make(rsa.cert.get(), rsa.key.get());
    ASSERT_TRUE(t);
    for (size_t len : kLengths)
        for (int64_t at : kTimes)
            for (bool attached : {false, true}) {
                SCOPED_TRACE(std::to_string(len) + " bytes at " + std::to_string(at) + (attached ? ", attached" : ""));
                const Bytes data(len, static_cast<char>('a' + len % 26));
                const Bytes made = TemplateSignature(*t, rsa, data, at, attached);
                EXPECT_EQ(made, OpensslSignature(rsa, data, at, attached));
                EXPECT_TRUE(CmsVerifies(made, data, attached));
            }
}

TEST(SignatureTemplate, EcSignaturesVerifyAndNowIsTheSigningTime) {
    for (const char* curve : {"P-256", "P-384"}) {
        SCOPED_TRACE(curve);
        Signer ec = SelfSigned(EVP_EC_gen(curve));
        auto t = SignatureTemplate::Make(ec.cert.get(), ec.key.get());
        ASSERT_TRUE(t);
        for (size_t len : {size_t{0}, size_t{300}, size_t{70000}})
            for (bool attached : {false, true}) {
                const Bytes data(len, 'e');
                const Bytes made = TemplateSignature(*t, ec, data, 0, attached);
                EXPECT_TRUE(CmsVerifies(made, data, attached));
                const unsigned char* p = made.data();
                CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(made.size())));
                ASSERT_TRUE(cms);
                const int64_t at = SigningTimeOf(sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0));
                EXPECT_LE(std::llabs(at - static_cast<int64_t>(time(nullptr))), 5);
            }
    }
}

TEST(SignatureTemplate, OnlyForItsCertificate) {
    Signer a = SelfSigned(EVP_EC_gen("P-256")), b = SelfSigned(EVP_EC_gen("P-256"));
    auto t = SignatureTemplate::Make(a.cert.get(), a.key.get());
    ASSERT_TRUE(t);
    const Bytes da = CertificateDer(a.cert.get()), db = CertificateDer(b.cert.get());
    EXPECT_TRUE(t->IsFor(da.data(), da.size()));
    EXPECT_FALSE(t->IsFor(db.data(), db.size()));
    EXPECT_FALSE(t->IsFor(da.data(), da.size() - 1));
}

}  // namespace
}  // namespace zkd
