// Validation data attached to one signature of a container: the CAdES
// certificate values (SEQUENCE OF Certificate) and revocation values (CRLs
// and BasicOCSPResponses) as unsigned attributes of that signer. Every
// earlier byte of the container is kept: the attributes are appended to the
// signer's unsigned attributes; where the signer carries validation data
// already, its attribute keeps its place and every item it held, and the new
// items are added after them (each item once).
//
// Each item is checked to be what it claims before it is added: a
// certificate (3 otherwise), a CRL, an OCSP response (an OCSPResponse, whose
// BasicOCSPResponse is taken as it was received, or a BasicOCSPResponse; 10
// otherwise).
#include <openssl/err.h>
#include <openssl/ocsp.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "zelkord/Cades.h"
#include "zelkord/Der.h"
#include "zelkord/Errors.h"
#include "zelkord/RawSignedData.h"
#include "zelkord/Registry.h"
#include "zelkord/SignedData.h"

namespace zkd {
namespace {

using CrlPtr = std::unique_ptr<X509_CRL, OsslFree<X509_CRL_free>>;
using BasicPtr = std::unique_ptr<OCSP_BASICRESP, OsslFree<OCSP_BASICRESP_free>>;
using OcspResponsePtr = std::unique_ptr<OCSP_RESPONSE, OsslFree<OCSP_RESPONSE_free>>;

bool Usable(const ZKBlob& b) { return b.data && b.length && b.length <= static_cast<uint32_t>(INT32_MAX); }

void AddOnce(std::vector<Bytes>& list, Bytes item) {
    if (std::find(list.begin(), list.end(), item) == list.end()) list.push_back(std::move(item));
}

Bytes Wrap(uint8_t tag, const std::vector<Bytes>& items) {
    size_t size = 0;
    for (const Bytes& b : items) size += b.size();
    Bytes out(der::HeaderSize(size));
    der::WriteHeader(tag, size, out.data());
    for (const Bytes& b : items) out.insert(out.end(), b.begin(), b.end());
    return out;
}

template <class T, T* (*D2i)(T**, const unsigned char**, long), void (*Free)(T*)>
bool Whole(const uint8_t* data, size_t len) {
    const unsigned char* p = data;
    std::unique_ptr<T, OsslFree<Free>> value(D2i(nullptr, &p, static_cast<long>(len)));
    ERR_clear_error();
    return value && p == data + len;
}

// The DER of a certificate (DER or PEM given).
int CertificateItem(const ZKBlob& blob, Bytes& out) {
    X509Ptr cert = Usable(blob) ? ParseCertificate(blob.data, blob.length) : nullptr;
    ERR_clear_error();
    if (!cert) return Fail(ZK_E_CERT_INFO, "a certificate of the validation data cannot be read");
    out = CertificateDer(cert.get());
    return ZK_E_OK;
}

int CrlItem(const ZKBlob& blob, Bytes& out) {
    if (!Whole<X509_CRL, d2i_X509_CRL, X509_CRL_free>(blob.data, blob.length))
        return Fail(ZK_E_DAMAGED, "a CRL of the validation data cannot be read");
    out.assign(blob.data, blob.data + blob.length);
    return ZK_E_OK;
}

// The BasicOCSPResponse of an OCSP response, as its bytes were received.
int OcspItem(const ZKBlob& blob, Bytes& out) {
    const uint8_t* data = blob.data;
    const size_t len = blob.length;
    if (Whole<OCSP_BASICRESP, d2i_OCSP_BASICRESP, OCSP_BASICRESP_free>(data, len)) {
        out.assign(data, data + len);
        return ZK_E_OK;
    }
    const unsigned char* p = data;
    OcspResponsePtr resp(d2i_OCSP_RESPONSE(nullptr, &p, static_cast<long>(len)));
    const bool basic = resp && p == data + len && OCSP_response_status(resp.get()) == OCSP_RESPONSE_STATUS_SUCCESSFUL &&
                       BasicPtr(OCSP_response_get1_basic(resp.get())) != nullptr;
    ERR_clear_error();
    // OCSPResponse ::= SEQUENCE { responseStatus, responseBytes [0] EXPLICIT
    //                  SEQUENCE { responseType, response OCTET STRING } }
    der::Item outer, status, tagged, bytes, type, response;
    if (basic && der::ReadItem(data, len, 0, outer) && der::ReadItem(data, outer.End(), outer.ContentStart(), status) &&
        der::ReadItem(data, outer.End(), status.End(), tagged) && tagged.tag == der::kContext0 &&
        der::ReadItem(data, tagged.End(), tagged.ContentStart(), bytes) &&
        der::ReadItem(data, bytes.End(), bytes.ContentStart(), type) &&
        der::ReadItem(data, bytes.End(), type.End(), response) && response.tag == der::kOctetString &&
        Whole<OCSP_BASICRESP, d2i_OCSP_BASICRESP, OCSP_BASICRESP_free>(data + response.ContentStart(),
                                                                       response.length)) {
        out.assign(data + response.ContentStart(), data + response.End());
        return ZK_E_OK;
    }
    return Fail(ZK_E_DAMAGED, "an OCSP response of the validation data cannot be read");
}

int SetCompleteInfo(const uint8_t* container, uint32_t len, int32_t signIndex, const CompleteInfoObject* objects,
                    int32_t count, uint8_t* out, uint32_t* outLen) {
    if (!outLen || !objects || count <= 0 || count > kMaxContainerCerts)
        return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing validation data or output length");
    ContainerSigner signer;
    if (int rc = OpenContainerSigner(container, len, signIndex, signer)) return rc;
    RawSignedData& raw = signer.raw;
    CMS_SignerInfo* si = signer.si;

    ValidationData data = ValidationDataOf(si);  // what the signer carries already comes first
    const size_t had = data.certs.size() + data.crls.size() + data.ocsps.size();
    for (int32_t o = 0; o < count; ++o) {
        const CompleteInfoObject& object = objects[o];
        Bytes item;
        if (int rc = CertificateItem(object.Cert, item)) return rc;
        AddOnce(data.certs, std::move(item));
        for (const ZKBlob& crl : object.CRLs) {
            if (!Usable(crl)) continue;
            if (int rc = CrlItem(crl, item)) return rc;
            AddOnce(data.crls, std::move(item));
        }
        for (const ZKBlob& ocsp : object.OCSPs) {
            if (!Usable(ocsp)) continue;
            if (int rc = OcspItem(ocsp, item)) return rc;
            AddOnce(data.ocsps, std::move(item));
        }
    }
    if (data.certs.size() > kMaxContainerCerts || data.crls.size() > kMaxContainerCerts ||
        data.ocsps.size() > kMaxContainerCerts)
        return Fail(ZK_E_BAD_REQUEST_PARAMS, "more validation data than a signature may carry");
    if (data.certs.size() + data.crls.size() + data.ocsps.size() > had) {
        const Bytes certValues = Wrap(der::kSequence, data.certs);
        if (int rc = raw.SetUnsignedAttribute(signIndex, OBJ_nid2obj(NID_id_smime_aa_ets_certValues),
                                              certValues.data(), certValues.size()))
            return Fail(rc, "the certificate values cannot be added");
        if (!data.crls.empty() || !data.ocsps.empty()) {
            std::vector<Bytes> lists;
            if (!data.crls.empty()) lists.push_back(Wrap(der::kContext0, {Wrap(der::kSequence, data.crls)}));
            if (!data.ocsps.empty()) lists.push_back(Wrap(der::kContext1, {Wrap(der::kSequence, data.ocsps)}));
            const Bytes revocationValues = Wrap(der::kSequence, lists);
            if (int rc = raw.SetUnsignedAttribute(signIndex, OBJ_nid2obj(NID_id_smime_aa_ets_revocationValues),
                                                  revocationValues.data(), revocationValues.size()))
                return Fail(rc, "the revocation values cannot be added");
        }
    }
    return PutContainer(raw, out, outLen);
}

}  // namespace

ZKD_EXPORT(ZKLCTX_SetCompleteInfo, SetCompleteInfo);

}  // namespace zkd
