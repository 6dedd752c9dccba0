#include "zelkord/TimestampToken.h"
#include "platform/Text.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>

#include "zelkord/CertsAtHand.h"
#include "zelkord/Der.h"
#include "zelkord/Errors.h"

namespace zkd {
namespace {

using TsRespPtr = std::unique_ptr<TS_RESP, OsslFree<TS_RESP_free>>;

// The highest PKIFailureInfo bit (systemFailure).
constexpr int kLastFailureBit = 25;

uint32_t Seconds(const ASN1_GENERALIZEDTIME* t) {
    struct tm tm {};
    if (!t || ASN1_TIME_to_tm(t, &tm) != 1) return 0;
    const long long s = timegm(&tm);
    return s < 0 ? 0 : s > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(s);
}

Bytes Pkcs7Der(PKCS7* p7) {
    unsigned char* der = nullptr;
    const int len = i2d_PKCS7(p7, &der);
    if (len <= 0) return {};
    Bytes out(der, der + len);
    OPENSSL_free(der);
    return out;
}

// The second element of the outer SEQUENCE (the token of a TimeStampResp) as
// written; empty when the bytes are not DER enough to find it so.
Bytes SecondElement(const uint8_t* data, size_t len) {
    der::Item outer, first, second;
    if (!der::ReadItem(data, len, 0, outer) || outer.tag != der::kSequence ||
        !der::ReadItem(data, outer.End(), outer.ContentStart(), first) || first.End() >= outer.End() ||
        !der::ReadItem(data, outer.End(), first.End(), second))
        return {};
    return Bytes(data + second.start, data + second.End());
}

// Whether the token carries the certificate its signer identifier names.
bool CarriesSignerCert(CMS_ContentInfo* cms, CMS_SignerInfo* si) {
    CertStackPtr carried(CMS_get1_certs(cms));
    bool found = false;
    for (int i = 0; !found && i < sk_X509_num(carried.get()); ++i)
        found = CMS_SignerInfo_cert_cmp(si, sk_X509_value(carried.get(), i)) == 0;
    ERR_clear_error();
    return found;
}

// The certificates at hand that the signer identifier names (by key
// identifier, or by issuer and serial number), into out.
void FindSignerCertAtHand(CMS_SignerInfo* si, STACK_OF(X509)* out) {
    ASN1_OCTET_STRING* keyId = nullptr;
    X509_NAME* issuer = nullptr;
    ASN1_INTEGER* serial = nullptr;
    if (CMS_SignerInfo_get0_signer_id(si, &keyId, &issuer, &serial) != 1) return;
    const CertKey key = keyId ? CertKey::KeyId : CertKey::Serial;
    const ASN1_STRING* id = keyId ? keyId : serial;
    if (!id) return;
    for (X509Ptr& cert : FindCertsAtHand(key, HexUpper(ASN1_STRING_get0_data(id),
                                                        static_cast<size_t>(ASN1_STRING_length(id))))) {
        if (CMS_SignerInfo_cert_cmp(si, cert.get()) != 0) continue;  // another issuer's serial number
        if (!sk_X509_push(out, cert.get())) throw std::bad_alloc();
        cert.release();
    }
    ERR_clear_error();
}

}  // namespace

int ReadTokenOf(PKCS7* token, TimestampToken& out) {
    out.p7 = token;
    out.tst.reset(token ? PKCS7_to_TS_TST_INFO(token) : nullptr);
    ERR_clear_error();
    return out.tst ? ZK_E_OK : Fail(ZK_E_DAMAGED, "the timestamp token is damaged");
}

int ReadTimestampToken(const uint8_t* der, size_t len, TimestampToken& out) {
    if (!der || len == 0 || len > LONG_MAX) return Fail(ZK_E_DAMAGED, "the timestamp token is empty");
    const unsigned char* p = der;
    out.token.reset(d2i_PKCS7(nullptr, &p, static_cast<long>(len)));
    ERR_clear_error();
    if (!out.token || p != der + len) return Fail(ZK_E_DAMAGED, "the timestamp token is damaged");
    return ReadTokenOf(out.token.get(), out);
}

int CheckTokenSignature(const TimestampToken& t, WithoutServiceCert missing) {
    const Bytes der = Pkcs7Der(t.p7);
    const unsigned char* p = der.data();
    CmsPtr cms(der.empty() ? nullptr : d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
    ERR_clear_error();
    if (!cms) return Fail(ZK_E_BAD_SIGNATURE, "the timestamp token's signature does not verify");
    // RFC 3161: one signer, the service.
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms.get());
    if (sk_CMS_SignerInfo_num(infos) != 1)
        return Fail(ZK_E_BAD_SIGNATURE, "the timestamp token is not signed by one timestamping service");
    CertStackPtr atHand(sk_X509_new_null());
    if (!atHand) throw std::bad_alloc();
    if (!CarriesSignerCert(cms.get(), sk_CMS_SignerInfo_value(infos, 0))) {
        FindSignerCertAtHand(sk_CMS_SignerInfo_value(infos, 0), atHand.get());
        if (sk_X509_num(atHand.get()) == 0) {
            if (missing == WithoutServiceCert::Unchecked) return ZK_E_OK;
            return Fail(ZK_E_BAD_SIGNATURE, "the timestamp token does not carry its service's certificate, and no "
                                            "certificate the service can see is the one it names");
        }
    }
    bool ok = CMS_verify(cms.get(), atHand.get(), nullptr, nullptr, nullptr,
                         CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) == 1;
    // RFC 3161: the service's certificate is for timestamping alone (a
    // critical extended key usage of timeStamping).
    bool purpose = false;
    if (ok) {
        STACK_OF(X509)* signers = CMS_get0_signers(cms.get());
        purpose = sk_X509_num(signers) == 1 &&
                  X509_check_purpose(sk_X509_value(signers, 0), X509_PURPOSE_TIMESTAMP_SIGN, 0) == 1;
        sk_X509_free(signers);
    }
    ERR_clear_error();
    if (!ok) return Fail(ZK_E_BAD_SIGNATURE, "the timestamp token's signature does not verify");
    if (!purpose)
        return Fail(ZK_E_BAD_SIGNATURE, "the timestamp token is not signed by a timestamping service's certificate");
    return ZK_E_OK;
}

int CheckImprintOver(const TimestampToken& t, std::span<const std::span<const uint8_t>> parts,
                     const std::string& what) {
    TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(t.tst.get());
    const EVP_MD* md = EVP_get_digestbyobj(TS_MSG_IMPRINT_get_algo(imprint)->algorithm);
    if (!md) return Fail(ZK_E_HASH_NOT_SUPPORTED, "the timestamp's hash algorithm is not supported");
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) throw std::bad_alloc();
    for (std::span<const uint8_t> part : parts)
        if (!part.empty() && EVP_DigestUpdate(ctx.get(), part.data(), part.size()) != 1) throw std::bad_alloc();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &n) != 1) throw std::bad_alloc();
    const ASN1_OCTET_STRING* expected = TS_MSG_IMPRINT_get_msg(imprint);
    if (static_cast<unsigned int>(ASN1_STRING_length(expected)) != n ||
        std::memcmp(ASN1_STRING_get0_data(expected), digest, n) != 0)
        return Fail(ZK_E_TIMESTAMP_MISMATCH, "the timestamp was made over another " + what);
    return ZK_E_OK;
}

void FillTimestampInfo(const TimestampToken& t, TimestampInfo& info) {
    const ASN1_OCTET_STRING* imprint = TS_MSG_IMPRINT_get_msg(TS_TST_INFO_get_msg_imprint(t.tst.get()));
    std::memset(info.Hash, 0, sizeof info.Hash);
    std::memcpy(info.Hash, ASN1_STRING_get0_data(imprint),
                std::min(sizeof info.Hash, static_cast<size_t>(ASN1_STRING_length(imprint))));
    info.Time = Seconds(TS_TST_INFO_get_time(t.tst.get()));
    std::memset(info.Serial, 0, sizeof info.Serial);
    if (BIGNUM* bn = ASN1_INTEGER_to_BN(TS_TST_INFO_get_serial(t.tst.get()), nullptr)) {
        if (char* hex = BN_bn2hex(bn)) {
            zk::WriteTextField(info.Serial, hex);
            OPENSSL_free(hex);
        }
        BN_free(bn);
    }
    // The service's certificate, when the token carries it and there is room.
    const uint32_t room = info.CertBuffer ? info.CertLength : 0;
    info.CertLength = 0;
    STACK_OF(X509)* signers = PKCS7_get0_signers(t.p7, nullptr, 0);
    X509* tsa = sk_X509_num(signers) > 0 ? sk_X509_value(signers, 0) : nullptr;
    unsigned char* der = nullptr;
    const int derLen = tsa ? i2d_X509(tsa, &der) : 0;
    if (derLen > 0 && static_cast<uint32_t>(derLen) <= room) {
        std::memcpy(info.CertBuffer, der, static_cast<size_t>(derLen));
        info.CertLength = static_cast<uint32_t>(derLen);
    }
    OPENSSL_free(der);
    sk_X509_free(signers);
    ERR_clear_error();
}

int ReadTimestampResponse(const uint8_t* der, size_t len, TimestampResponse& out) {
    if (!der || len == 0 || len > LONG_MAX) return Fail(ZK_E_DAMAGED, "the timestamp response is empty");
    const unsigned char* p = der;
    TsRespPtr resp(d2i_TS_RESP(nullptr, &p, static_cast<long>(len)));
    ERR_clear_error();
    if (!resp || p != der + len) return Fail(ZK_E_DAMAGED, "the timestamp response is damaged");
    TS_STATUS_INFO* info = TS_RESP_get_status_info(resp.get());
    out.status = static_cast<int>(ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(info)));
    out.failInfo = 0;
    if (const ASN1_BIT_STRING* bits = TS_STATUS_INFO_get0_failure_info(info))
        for (int bit = 0; bit <= kLastFailureBit; ++bit)
            if (ASN1_BIT_STRING_get_bit(bits, bit)) out.failInfo |= 1 << bit;
    PKCS7* token = TS_RESP_get_token(resp.get());
    if (!out.granted()) return ZK_E_OK;  // a refusal carries no token to read
    if (!token) return Fail(ZK_E_DAMAGED, "the timestamp response grants no token");
    out.tokenDer = SecondElement(der, len);
    if (out.tokenDer.empty()) out.tokenDer = Pkcs7Der(token);  // not DER: the token as OpenSSL writes it
    return ReadTimestampToken(out.tokenDer.data(), out.tokenDer.size(), out.token);
}

}  // namespace zkd
