// Certificate status by OCSP (RFC 6960 over HTTP POST): a request for one
// or more certificates, signed with the requester's key when one is given,
// and the description of a response.
//
// - Each certificate is named by a SHA-1 CertID. Its issuer's key hash comes
//   from the issuer's certificate when one is known (among the certificates
//   of the request, the certification centres, CACert, of the crypto
//   library profiles, and the certificates at hand, CertsAtHand.h, looked
//   for by the certificate's authority key identifier), else from the
//   authority key identifier itself (the SHA-1 of the issuer's key where, as
//   usual, the issuer derives its identifiers so).
// - A response is used only when it is successful, carries the nonce sent,
//   is signed by a responder entitled to answer for each issuer (the issuer
//   itself, or a certificate the issuer signed for OCSP signing, the issuer
//   being known by the key hash the request names among the certificates
//   above, those the response carries and those at hand), is current
//   (thisUpdate/nextUpdate, five minutes of leeway) and answers for every
//   certificate asked. Finding the issuer's certificate decides nothing: the
//   request already named its key, the certificate only brings it.
// - A description of a response (one received before, or one a container
//   carries as validation data: an OCSPResponse or a BasicOCSPResponse)
//   checks its signature (the signer's certificate carried, a centre's, or
//   at hand by the responder's key hash) and names its signer; what it says
//   is shown as it is.
#include <openssl/err.h>
#include <openssl/ocsp.h>
#include <openssl/sha.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstring>
#include <vector>

#include "zelkord/Cades.h"
#include "platform/Text.h"
#include "zelkord/CertInfo.h"
#include "zelkord/CertsAtHand.h"
#include "zelkord/Context.h"
#include "zelkord/Der.h"
#include "zelkord/Errors.h"
#include "zelkord/NetTransfer.h"
#include "zelkord/Output.h"
#include "zelkord/PrivateKey.h"
#include "zelkord/Registry.h"

namespace zkd {
namespace {

using OcspRequestPtr = std::unique_ptr<OCSP_REQUEST, OsslFree<OCSP_REQUEST_free>>;
using OcspResponsePtr = std::unique_ptr<OCSP_RESPONSE, OsslFree<OCSP_RESPONSE_free>>;
using BasicPtr = std::unique_ptr<OCSP_BASICRESP, OsslFree<OCSP_BASICRESP_free>>;
using CertIdPtr = std::unique_ptr<OCSP_CERTID, OsslFree<OCSP_CERTID_free>>;
using StorePtr = std::unique_ptr<X509_STORE, OsslFree<X509_STORE_free>>;
void FreeRefs(STACK_OF(X509)* s) { sk_X509_free(s); }
using CertRefsPtr = std::unique_ptr<STACK_OF(X509), OsslFree<FreeRefs>>;  // certificates owned elsewhere

constexpr char kRequestType[] = "application/ocsp-request";
constexpr long kLeewaySeconds = 300;
constexpr int kNonceLength = 16;

// A list of certificates that the caller's objects own.
CertRefsPtr NewRefs() {
    CertRefsPtr refs(sk_X509_new_null());
    if (!refs) throw std::bad_alloc();
    return refs;
}

void Push(STACK_OF(X509)* refs, X509* cert) {
    if (cert && !sk_X509_push(refs, cert)) throw std::bad_alloc();
}

std::string Hex(const ASN1_OCTET_STRING* s) {
    return s ? HexUpper(ASN1_STRING_get0_data(s), static_cast<size_t>(ASN1_STRING_length(s))) : std::string();
}

// The certificates an exchange knows: those of the request, the certification
// centres of the crypto library profiles, those the response carries, and
// those found at hand by a key identifier when none of the others serves.
class KnownCerts {
public:
    KnownCerts() : refs_(NewRefs()) {
        if (const Context* ctx = CurrentContext())
            for (const CryptoLib& lib : ctx->libs) Add(lib.caCert.get());
    }
    void Add(X509* cert) { Push(refs_.get(), cert); }
    STACK_OF(X509)* get() const { return refs_.get(); }
    // Adds the certificates at hand that keyIdHex names (each key looked for
    // once); whether any was found this time.
    bool AddAtHand(const std::string& keyIdHex) {
        if (keyIdHex.empty()) return false;
        for (const std::string& asked : asked_)
            if (asked == keyIdHex) return false;
        asked_.push_back(keyIdHex);
        std::vector<X509Ptr> found = FindCertsAtHand(CertKey::KeyId, keyIdHex);
        for (X509Ptr& cert : found) {
            Add(cert.get());
            held_.push_back(std::move(cert));
        }
        return !found.empty();
    }

private:
    std::vector<X509Ptr> held_;  // before refs_: the list refers to them
    CertRefsPtr refs_;
    std::vector<std::string> asked_;
};

Bytes Sha1(const uint8_t* data, size_t len) {
    Bytes out(SHA_DIGEST_LENGTH);
    SHA1(data, len, out.data());
    return out;
}

void Append(Bytes& out, uint8_t tag, const Bytes& content) {
    uint8_t header[16];
    const size_t n = der::WriteHeader(tag, content.size(), header);
    out.insert(out.end(), header, header + n);
    out.insert(out.end(), content.begin(), content.end());
}

// A SHA-1 CertID whose issuer key hash is the certificate's authority key
// identifier (OpenSSL makes CertIDs only from the issuer's key itself).
CertIdPtr IdFromKeyIdentifier(X509* cert) {
    const ASN1_OCTET_STRING* aki = X509_get0_authority_key_id(cert);
    if (!aki || ASN1_STRING_length(aki) != SHA_DIGEST_LENGTH) return nullptr;
    unsigned char* name = nullptr;
    const int nameLen = i2d_X509_NAME(X509_get_issuer_name(cert), &name);
    unsigned char* serial = nullptr;
    const int serialLen = i2d_ASN1_INTEGER(X509_get0_serialNumber(cert), &serial);
    Bytes body;
    if (nameLen > 0 && serialLen > 0) {
        static const uint8_t kSha1Algorithm[] = {0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00};
        body.assign(std::begin(kSha1Algorithm), std::end(kSha1Algorithm));
        Append(body, der::kOctetString, Sha1(name, static_cast<size_t>(nameLen)));
        Append(body, der::kOctetString, Bytes(aki->data, aki->data + aki->length));
        body.insert(body.end(), serial, serial + serialLen);
    }
    OPENSSL_free(name);
    OPENSSL_free(serial);
    if (body.empty()) throw std::bad_alloc();
    Bytes der;
    Append(der, der::kSequence, body);
    const unsigned char* p = der.data();
    CertIdPtr id(d2i_OCSP_CERTID(nullptr, &p, static_cast<long>(der.size())));
    if (!id) throw std::bad_alloc();
    return id;
}

// The certificate among candidates that issued cert (its signature checked), or nullptr.
X509* IssuerAmong(X509* cert, STACK_OF(X509)* candidates) {
    for (int i = 0; i < sk_X509_num(candidates); ++i) {
        X509* issuer = sk_X509_value(candidates, i);
        const bool issued =
            X509_check_issued(issuer, cert) == X509_V_OK && X509_verify(cert, X509_get0_pubkey(issuer)) == 1;
        ERR_clear_error();
        if (issued) return issuer;
    }
    return nullptr;
}

// The CertID of cert: from its issuer's certificate when a known one (or one
// at hand by the authority key identifier) issued it, else from its
// authority key identifier.
int CertIdOf(X509* cert, KnownCerts& known, CertIdPtr& out) {
    X509* issuer = IssuerAmong(cert, known.get());
    if (!issuer && known.AddAtHand(Hex(X509_get0_authority_key_id(cert)))) issuer = IssuerAmong(cert, known.get());
    if (issuer) {
        out.reset(OCSP_cert_to_id(EVP_sha1(), cert, issuer));
        ERR_clear_error();
        if (!out) throw std::bad_alloc();
        return ZK_E_OK;
    }
    out = IdFromKeyIdentifier(cert);
    return out ? ZK_E_OK
               : Fail(ZK_E_CERT_INFO, "the certificate's issuer is unknown (no issuer certificate and no authority "
                                      "key identifier)");
}

// True when cert's name and key are the issuer named by id.
bool IsIssuerOf(X509* cert, OCSP_CERTID* id) {
    ASN1_OBJECT* alg = nullptr;
    OCSP_id_get0_info(nullptr, &alg, nullptr, nullptr, id);
    const EVP_MD* md = alg ? EVP_get_digestbyobj(alg) : nullptr;
    CertIdPtr own(md ? OCSP_cert_to_id(md, nullptr, cert) : nullptr);
    const bool same = own && OCSP_id_issuer_cmp(own.get(), id) == 0;
    ERR_clear_error();
    return same;
}

bool ValidNow(X509* cert) {
    return X509_cmp_current_time(X509_get0_notBefore(cert)) < 0 && X509_cmp_current_time(X509_get0_notAfter(cert)) > 0;
}

// The known certificate that is the issuer id names (its name and key hash), or nullptr.
X509* IssuerNamedBy(OCSP_CERTID* id, STACK_OF(X509)* known) {
    for (int i = 0; i < sk_X509_num(known); ++i)
        if (IsIssuerOf(sk_X509_value(known, i), id)) return sk_X509_value(known, i);
    return nullptr;
}

// The responder may answer for the issuer that id names: it is that issuer,
// or the issuer (found among known, else at hand, by the key hash id names)
// signed its certificate for OCSP signing.
int CheckAuthority(X509* signer, OCSP_CERTID* id, KnownCerts& known) {
    if (IsIssuerOf(signer, id)) return ZK_E_OK;
    X509* issuer = IssuerNamedBy(id, known.get());
    if (!issuer) {
        ASN1_OCTET_STRING* keyHash = nullptr;
        OCSP_id_get0_info(nullptr, nullptr, &keyHash, nullptr, id);
        if (known.AddAtHand(Hex(keyHash))) issuer = IssuerNamedBy(id, known.get());
    }
    if (issuer) {
        const bool delegated = X509_check_issued(issuer, signer) == X509_V_OK &&
                               X509_verify(signer, X509_get0_pubkey(issuer)) == 1 &&
                               (X509_get_extension_flags(signer) & EXFLAG_XKUSAGE) &&
                               (X509_get_extended_key_usage(signer) & XKU_OCSP_SIGN);
        ERR_clear_error();
        if (delegated) return ZK_E_OK;
        return Fail(ZK_E_ROOT_CHECK, "the OCSP responder is not entitled to answer for the certificate's issuer");
    }
    return Fail(ZK_E_ROOT_CHECK, "the OCSP responder's authority cannot be shown: the certificate's issuer is "
                                 "not known (no certificate the service can see has the key the request names)");
}

// The response's signature, with its signer's certificate from the response,
// from known, or at hand by the responder's key hash: 0 with the signer, or 11.
int CheckSignature(OCSP_BASICRESP* bs, KnownCerts& known, X509*& signer) {
    signer = nullptr;
    StorePtr store(X509_STORE_new());
    if (!store) throw std::bad_alloc();
    bool found = OCSP_resp_get0_signer(bs, &signer, known.get()) == 1;
    if (!found) {
        const ASN1_OCTET_STRING* keyHash = nullptr;
        const X509_NAME* name = nullptr;  // a responder named so has no key hash to look for
        OCSP_resp_get0_id(bs, &keyHash, &name);
        found = known.AddAtHand(Hex(keyHash)) && OCSP_resp_get0_signer(bs, &signer, known.get()) == 1;
    }
    // OCSP_NOVERIFY: the signature alone; who may sign is judged by CheckAuthority.
    const bool ok = found && OCSP_basic_verify(bs, known.get(), store.get(), OCSP_NOVERIFY) == 1;
    ERR_clear_error();
    if (!found) return Fail(ZK_E_BAD_SIGNATURE, "the OCSP response does not carry its signer's certificate");
    if (!ok) return Fail(ZK_E_BAD_SIGNATURE, "the OCSP response's signature does not verify");
    return ZK_E_OK;
}

uint32_t Seconds(const ASN1_GENERALIZEDTIME* t) {
    struct tm tm {};
    if (!t || ASN1_TIME_to_tm(t, &tm) != 1) return 0;
    const long long s = timegm(&tm);
    return s < 0 ? 0 : s > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(s);
}

template <size_t N, size_t M>
void CopyText(char (&to)[N], const char (&from)[M]) {
    zk::WriteTextField(to, std::string_view(from, strnlen(from, M)));
}

// Status, production time, and who signed (its key identifier and subject).
void DescribeResponse(int status, OCSP_BASICRESP* bs, X509* signer, OcspInfo& info) {
    std::memset(&info, 0, sizeof info);
    info.Status = status;
    if (!bs) return;
    info.ProducedAt = Seconds(OCSP_resp_get0_produced_at(bs));
    const ASN1_OCTET_STRING* keyId = nullptr;
    const X509_NAME* name = nullptr;
    OCSP_resp_get0_id(bs, &keyId, &name);
    if (keyId) {
        zk::WriteTextField(info.SignerKeyIdentifier, HexUpper(keyId->data, static_cast<size_t>(keyId->length)));
    } else if (signer) {
        zk::WriteTextField(info.SignerKeyIdentifier, CertKeyIdentifier(signer));
    }
    if (!signer) return;
    ProviderCertInfo subject{};
    subject.Type = -1;
    FillCertInfo(signer, subject);
    CopyText(info.EDRPOU, subject.EDRPOU);
    CopyText(info.DRFO, subject.DRFO);
    CopyText(info.Name, subject.Name);
    CopyText(info.Email, subject.Email);
    CopyText(info.Title, subject.Title);
    CopyText(info.PostalCode, subject.PostalCode);
    CopyText(info.Obl, subject.Obl);
    CopyText(info.Rayon, subject.Rayon);
    CopyText(info.Adres, subject.Adres);
    CopyText(info.Tel, subject.Tel);
    CopyText(info.SN, subject.SN);
    CopyText(info.OrgNm, subject.OrgNm);
    CopyText(info.UnitName, subject.UnitName);
    CopyText(info.EDDRU, subject.EDDRU);
}

void PutStatus(OCSP_CERTID* id, int status, int reason, ASN1_GENERALIZEDTIME* revoked, ASN1_GENERALIZEDTIME* thisUpdate,
               OcspCertStatus& out) {
    std::memset(&out, 0, sizeof out);
    out.Status = status;
    // A revocation without a stated reason is "unspecified" (0).
    out.Reason = status == V_OCSP_CERTSTATUS_REVOKED && reason > 0 ? reason : 0;
    out.RevocationTime = status == V_OCSP_CERTSTATUS_REVOKED ? Seconds(revoked) : 0;
    out.ThisUpdate = Seconds(thisUpdate);
    ASN1_INTEGER* serial = nullptr;
    OCSP_id_get0_info(nullptr, nullptr, nullptr, &serial, id);
    if (serial) zk::WriteTextField(out.CertID, HexUpper(serial->data, static_cast<size_t>(serial->length)));
}

// An OCSPResponse, or the BasicOCSPResponse a container carries: 0 with the
// response status and (when successful) the basic response; 10 otherwise.
int ReadResponse(const uint8_t* data, uint32_t len, int& status, BasicPtr& basic) {
    if (!data || len == 0 || len > static_cast<uint32_t>(INT32_MAX)) return Fail(ZK_E_DAMAGED, "the OCSP response is empty");
    const unsigned char* p = data;
    OcspResponsePtr resp(d2i_OCSP_RESPONSE(nullptr, &p, static_cast<long>(len)));
    if (resp && p == data + len) {
        status = OCSP_response_status(resp.get());
        if (status == OCSP_RESPONSE_STATUS_SUCCESSFUL) basic.reset(OCSP_response_get1_basic(resp.get()));
        ERR_clear_error();
        if (status == OCSP_RESPONSE_STATUS_SUCCESSFUL && !basic)
            return Fail(ZK_E_DAMAGED, "the OCSP response carries no basic response");
        return ZK_E_OK;
    }
    p = data;
    basic.reset(d2i_OCSP_BASICRESP(nullptr, &p, static_cast<long>(len)));
    ERR_clear_error();
    if (!basic || p != data + len) {
        basic.reset();
        return Fail(ZK_E_DAMAGED, "the data is not an OCSP response");
    }
    status = OCSP_RESPONSE_STATUS_SUCCESSFUL;
    return ZK_E_OK;
}

// The certificates a basic response carries.
const STACK_OF(X509)* CarriedCerts(OCSP_BASICRESP* bs) { return OCSP_resp_get0_certs(bs); }

int RequestOCSP(const ZKBlob* certs, int32_t certCount, const uint8_t* requesterCert, uint32_t requesterCertLen,
                const uint8_t* key, ZKKeyLen keyLen, const char* pass, uint8_t* response, uint32_t* responseLen,
                OcspInfo* info, OcspCertStatus* statuses, int32_t* socketError, const char* server, int32_t port,
                int32_t timeout) {
    if (socketError) *socketError = 0;
    if (!certs || certCount <= 0 || certCount > ZK_OCSP_MAX_STATUSES || !response || !responseLen || !info ||
        !statuses)
        return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing certificates, response buffer or records");
    std::vector<X509Ptr> owned;
    KnownCerts known;
    for (int32_t i = 0; i < certCount; ++i) {
        owned.push_back(ParseCertificate(certs[i].data, certs[i].length));
        if (!owned.back()) return Fail(ZK_E_CERT_INFO, "certificate " + std::to_string(i) + " cannot be read");
        known.Add(owned.back().get());
    }

    OcspRequestPtr req(OCSP_REQUEST_new());
    if (!req) throw std::bad_alloc();
    std::vector<CertIdPtr> ids;
    for (X509Ptr& cert : owned) {
        CertIdPtr id;
        if (int rc = CertIdOf(cert.get(), known, id)) return rc;
        OCSP_CERTID* copy = OCSP_CERTID_dup(id.get());
        if (!copy || !OCSP_request_add0_id(req.get(), copy)) {
            OCSP_CERTID_free(copy);
            throw std::bad_alloc();
        }
        ids.push_back(std::move(id));
    }
    if (OCSP_request_add1_nonce(req.get(), nullptr, kNonceLength) != 1) throw std::bad_alloc();

    // Signed with the requester's key when one is given.
    if (key || keyLen) {
        X509Ptr signer = ParseCertificate(requesterCert, requesterCertLen);
        if (!signer) return Fail(ZK_E_CERT_INFO, "the requester's certificate cannot be read");
        PrivateKey pkey;
        if (int rc = OpenPrivateKey(key, keyLen, pass, signer.get(), pkey)) return rc;
        const bool ok = OCSP_request_sign(req.get(), signer.get(), pkey.get(), SignatureDigestFor(pkey.get()),
                                          nullptr, 0) == 1;
        ERR_clear_error();
        if (!ok) return Fail(ZK_E_SIGN_OR_PASSWORD, "the OCSP request cannot be signed");
    }

    unsigned char* der = nullptr;
    const int derLen = i2d_OCSP_REQUEST(req.get(), &der);
    if (derLen <= 0) throw std::bad_alloc();
    const Bytes body(der, der + derLen);
    OPENSSL_free(der);
    Bytes answer;
    if (int rc = PostToService(server, port, timeout, kRequestType, body, answer, socketError)) return rc;

    int status = 0;
    BasicPtr bs;
    if (ReadResponse(answer.data(), static_cast<uint32_t>(answer.size()), status, bs) != ZK_E_OK || !bs) {
        if (status != OCSP_RESPONSE_STATUS_SUCCESSFUL)
            return Fail(ZK_E_SERVER_RESPONSE, std::string("the OCSP responder answered: ") +
                                                  OCSP_response_status_str(status));
        return Fail(ZK_E_SERVER_RESPONSE, "the service's answer is not an OCSP response");
    }
    const int nonce = OCSP_check_nonce(req.get(), bs.get());
    ERR_clear_error();
    if (nonce != 1)
        return Fail(ZK_E_SERVER_RESPONSE, nonce == 0 ? "the OCSP response answers another request (its nonce differs)"
                                                     : "the OCSP response carries no nonce");
    for (int i = 0; i < sk_X509_num(CarriedCerts(bs.get())); ++i)
        known.Add(sk_X509_value(CarriedCerts(bs.get()), i));
    X509* signer = nullptr;
    if (int rc = CheckSignature(bs.get(), known, signer)) return rc;
    if (!ValidNow(signer)) return Fail(ZK_E_ROOT_CHECK, "the OCSP responder's certificate is not valid now");

    std::vector<OcspCertStatus> found(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        int certStatus = 0, reason = 0;
        ASN1_GENERALIZEDTIME *revoked = nullptr, *thisUpdate = nullptr, *nextUpdate = nullptr;
        if (OCSP_resp_find_status(bs.get(), ids[i].get(), &certStatus, &reason, &revoked, &thisUpdate, &nextUpdate) != 1)
            return Fail(ZK_E_SERVER_RESPONSE, "the OCSP response does not answer for certificate " + std::to_string(i));
        if (int rc = CheckAuthority(signer, ids[i].get(), known)) return rc;
        const bool current = OCSP_check_validity(thisUpdate, nextUpdate, kLeewaySeconds, -1) == 1;
        ERR_clear_error();
        if (!current) return Fail(ZK_E_SERVER_RESPONSE, "the OCSP response is not current");
        PutStatus(ids[i].get(), certStatus, reason, revoked, thisUpdate, found[i]);
    }
    if (int rc = PutOutput(answer.data(), answer.size(), response, responseLen)) return rc;
    DescribeResponse(status, bs.get(), signer, *info);
    std::memcpy(statuses, found.data(), found.size() * sizeof(OcspCertStatus));
    return ZK_E_OK;
}

int GetOCSPResponseInfo(const uint8_t* data, uint32_t len, OcspInfo* info, OcspCertStatus* statuses,
                        int32_t* count) {
    if (!info || !count || (*count > 0 && !statuses) || *count < 0)
        return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing records or count");
    int status = 0;
    BasicPtr bs;
    if (int rc = ReadResponse(data, len, status, bs)) return rc;
    if (!bs) {  // not successful: nothing more to tell
        DescribeResponse(status, nullptr, nullptr, *info);
        *count = 0;
        return ZK_E_OK;
    }
    KnownCerts known;
    X509* signer = nullptr;
    if (int rc = CheckSignature(bs.get(), known, signer)) return rc;
    const int n = OCSP_resp_count(bs.get());
    if (n > *count) {
        *count = n;
        return Fail(ZK_E_BAD_REQUEST_PARAMS, "room for fewer entries than the response holds");
    }
    for (int i = 0; i < n; ++i) {
        OCSP_SINGLERESP* single = OCSP_resp_get0(bs.get(), i);
        int reason = 0;
        ASN1_GENERALIZEDTIME *revoked = nullptr, *thisUpdate = nullptr;
        const int certStatus = OCSP_single_get0_status(single, &reason, &revoked, &thisUpdate, nullptr);
        PutStatus(const_cast<OCSP_CERTID*>(OCSP_SINGLERESP_get0_id(single)), certStatus, reason, revoked, thisUpdate,
                  statuses[i]);
    }
    ERR_clear_error();
    DescribeResponse(status, bs.get(), signer, *info);
    *count = n;
    return ZK_E_OK;
}

}  // namespace

ZKD_EXPORT(ZKLCTX_RequestOCSP, RequestOCSP);
ZKD_EXPORT(ZKLCTX_GetOCSPResponseInfo, GetOCSPResponseInfo);

}  // namespace zkd
