// Timestamps (RFC 3161 over HTTP): a token requested for data or for the
// value of one signature of a container (then added to that signer as its
// signature timestamp, every other byte of the container kept), and the
// description of a timestamp response.
//
// A request asks for a SHA-256 imprint, carries a 64-bit nonce and asks for
// the service's certificate. An answer is used only when it grants a token
// whose signature verifies with a timestamping certificate (the one it
// carries, else the one at hand that it names), whose imprint is
// the SHA-256 of what was sent (27 otherwise) and whose nonce is the one
// sent (26 otherwise): a refusal, garbage or an answer to another request
// never passes for success.
#include <openssl/err.h>
#include <openssl/rand.h>

#include <climits>
#include <cstring>
#include <span>

#include "zelkord/CertInfo.h"
#include "zelkord/Errors.h"
#include "zelkord/NetTransfer.h"
#include "zelkord/Output.h"
#include "zelkord/RawSignedData.h"
#include "zelkord/Registry.h"
#include "zelkord/SignedData.h"
#include "zelkord/TimestampToken.h"

namespace zkd {
namespace {

using TsReqPtr = std::unique_ptr<TS_REQ, OsslFree<TS_REQ_free>>;
using MsgImprintPtr = std::unique_ptr<TS_MSG_IMPRINT, OsslFree<TS_MSG_IMPRINT_free>>;
using AlgorPtr = std::unique_ptr<X509_ALGOR, OsslFree<X509_ALGOR_free>>;
using IntegerPtr = std::unique_ptr<ASN1_INTEGER, OsslFree<ASN1_INTEGER_free>>;
using BnPtr = std::unique_ptr<BIGNUM, OsslFree<BN_free>>;

constexpr char kQueryType[] = "application/timestamp-query";

// A request for data's SHA-256 imprint with a fresh nonce (kept in nonce).
Bytes MakeRequest(std::span<const uint8_t> data, IntegerPtr& nonce) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    static const uint8_t kEmpty = 0;
    if (EVP_Digest(data.empty() ? &kEmpty : data.data(), data.size(), digest, &n, EVP_sha256(), nullptr) != 1)
        throw std::bad_alloc();
    TsReqPtr req(TS_REQ_new());
    MsgImprintPtr imprint(TS_MSG_IMPRINT_new());
    AlgorPtr alg(X509_ALGOR_new());
    BnPtr bn(BN_new());
    if (!req || !imprint || !alg || !bn || X509_ALGOR_set0(alg.get(), OBJ_nid2obj(NID_sha256), V_ASN1_NULL, nullptr) != 1 ||
        TS_MSG_IMPRINT_set_algo(imprint.get(), alg.get()) != 1 || TS_MSG_IMPRINT_set_msg(imprint.get(), digest, n) != 1 ||
        TS_REQ_set_version(req.get(), 1) != 1 || TS_REQ_set_msg_imprint(req.get(), imprint.get()) != 1 ||
        TS_REQ_set_cert_req(req.get(), 1) != 1 || BN_rand(bn.get(), 64, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1)
        throw std::bad_alloc();
    nonce.reset(BN_to_ASN1_INTEGER(bn.get(), nullptr));
    if (!nonce || TS_REQ_set_nonce(req.get(), nonce.get()) != 1) throw std::bad_alloc();
    unsigned char* der = nullptr;
    const int len = i2d_TS_REQ(req.get(), &der);
    if (len <= 0) throw std::bad_alloc();
    Bytes out(der, der + len);
    OPENSSL_free(der);
    return out;
}

std::string Hex(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
    return text;
}

// Asks the service for a token over data and checks the answer (see above).
// answer: the TimeStampResp as received.
int Obtain(std::span<const uint8_t> data, const char* server, int32_t port, int32_t timeout, int32_t* socketError,
           Bytes& answer, TimestampResponse& response) {
    IntegerPtr nonce;
    const Bytes query = MakeRequest(data, nonce);
    if (int rc = PostToService(server, port, timeout, kQueryType, query, answer, socketError)) return rc;
    if (ReadTimestampResponse(answer.data(), answer.size(), response) != ZK_E_OK)
        return Fail(ZK_E_SERVER_RESPONSE, "the service's answer is not a timestamp response");
    if (!response.granted())
        return Fail(ZK_E_SERVER_RESPONSE, "the timestamp service refused the request: status " +
                                              std::to_string(response.status) + ", failure information " +
                                              Hex(response.failInfo));
    if (int rc = CheckTokenSignature(response.token)) return rc;
    const TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(response.token.tst.get());
    if (OBJ_obj2nid(TS_MSG_IMPRINT_get_algo(const_cast<TS_MSG_IMPRINT*>(imprint))->algorithm) != NID_sha256)
        return Fail(ZK_E_TIMESTAMP_MISMATCH, "the timestamp was made with another hash algorithm than asked");
    const std::span<const uint8_t> parts[] = {data};
    if (int rc = CheckImprintOver(response.token, parts, "document")) return rc;
    const ASN1_INTEGER* stated = TS_TST_INFO_get_nonce(response.token.tst.get());
    if (!stated || ASN1_INTEGER_cmp(stated, nonce.get()) != 0)
        return Fail(ZK_E_SERVER_RESPONSE, "the timestamp answers another request (its nonce differs)");
    return ZK_E_OK;
}

void Describe(const TimestampResponse& response, TimestampInfo& info) {
    info.Status = response.status;
    info.FailInfo = response.failInfo;
    FillTimestampInfo(response.token, info);
}

int CheckCommon(const uint8_t* cert, uint32_t certLen, TimestampInfo* info, uint32_t* outLen) {
    if (!info || !outLen) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing output length or information record");
    // The certificate only named the service (its access point); it must
    // still be one.
    if (cert && certLen && !ParseCertificate(cert, certLen)) {
        ERR_clear_error();
        return Fail(ZK_E_CERT_INFO, "the certificate cannot be read");
    }
    return ZK_E_OK;
}

int RequestTimestamp(const uint8_t* data, uint32_t len, const uint8_t* cert, uint32_t certLen, uint8_t* response,
                     uint32_t* responseLen, TimestampInfo* info, int32_t* socketError, const char* server,
                     int32_t port, int32_t timeout) {
    if (socketError) *socketError = 0;
    if (int rc = CheckCommon(cert, certLen, info, responseLen)) return rc;
    if (!data && len) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing data");
    if (!response) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing response buffer");
    Bytes answer;
    TimestampResponse resp;
    if (int rc = Obtain({data, len}, server, port, timeout, socketError, answer, resp)) return rc;
    if (int rc = PutOutput(answer.data(), answer.size(), response, responseLen)) return rc;
    Describe(resp, *info);
    return ZK_E_OK;
}

int AddTimestamp(const uint8_t* container, uint32_t len, int32_t signIndex, const uint8_t* cert, uint32_t certLen,
                 uint8_t* out, uint32_t* outLen, TimestampInfo* info, int32_t* socketError, const char* server,
                 int32_t port, int32_t timeout) {
    if (socketError) *socketError = 0;
    if (int rc = CheckCommon(cert, certLen, info, outLen)) return rc;
    if (!out) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing output buffer");
    ContainerSigner signer;
    if (int rc = OpenContainerSigner(container, len, signIndex, signer)) return rc;
    RawSignedData& raw = signer.raw;
    CMS_SignerInfo* si = signer.si;
    const ASN1_OCTET_STRING* value = CMS_SignerInfo_get0_signature(si);
    Bytes answer;
    TimestampResponse resp;
    if (int rc = Obtain({ASN1_STRING_get0_data(value), static_cast<size_t>(ASN1_STRING_length(value))}, server, port,
                        timeout, socketError, answer, resp))
        return rc;
    if (int rc = raw.AddUnsignedAttribute(signIndex, OBJ_nid2obj(NID_id_smime_aa_timeStampToken),
                                          resp.tokenDer.data(), resp.tokenDer.size()))
        return Fail(rc, "the timestamp token cannot be added to the signature");
    if (int rc = PutContainer(raw, out, outLen)) return rc;
    Describe(resp, *info);
    return ZK_E_OK;
}

// A TimeStampResp (as the requests return it), or a bare token (as a
// container carries it). A service that was not asked for its certificate
// leaves it out: such a token is described all the same, its signature
// checked whenever the service's certificate is at hand.
int GetTimestampInfo(const uint8_t* data, uint32_t len, TimestampInfo* info) {
    if (!info) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing timestamp information record");
    TimestampResponse resp;
    if (ReadTimestampResponse(data, len, resp) != ZK_E_OK) {
        resp = TimestampResponse{};
        if (ReadTimestampToken(data, len, resp.token) != ZK_E_OK)
            return Fail(ZK_E_DAMAGED, "the data is neither a timestamp response nor a timestamp token");
    }
    info->Status = resp.status;
    info->FailInfo = resp.failInfo;
    if (!resp.granted()) {
        std::memset(info->Hash, 0, sizeof info->Hash);
        info->Time = 0;
        info->CertLength = 0;
        return ZK_E_OK;
    }
    if (int rc = CheckTokenSignature(resp.token, WithoutServiceCert::Unchecked)) return rc;
    FillTimestampInfo(resp.token, *info);
    return ZK_E_OK;
}

}  // namespace

ZKD_EXPORT(ZKLCTX_RequestTimestamp, RequestTimestamp);
ZKD_EXPORT(ZKLCTX_AddTimestamp, AddTimestamp);
ZKD_EXPORT(ZKLCTX_GetTimestampInfo, GetTimestampInfo);

}  // namespace zkd
