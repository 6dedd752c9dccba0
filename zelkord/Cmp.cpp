// Certificates fetched by subject key identifier from a certificate
// management service: one RFC 4210 general message exchange (genm, genp)
// POSTed as application/pkixcmp, made with OpenSSL's CMP client over
// platform/HttpTransfer. The message contents are the project's own
// (docs/network-services.md):
//   genm: one InfoTypeAndValue per key identifier, type kInfoCertByKeyId,
//         value the identifier's bytes as an OCTET STRING; then one of type
//         kInfoAcquireChain, value a BOOLEAN (the chain flag);
//   genp: an InfoTypeAndValue of type kInfoCertificates whose value is a
//         SEQUENCE OF Certificate: for each identifier in turn the
//         certificate with that subject key identifier (none when the
//         service knows none), and with the chain flag its issuers after it.
// The request goes unprotected (the page names no credentials); the answer
// must be signed by the service with a certificate that chains to a
// certification centre of the crypto library profiles (CACert).
#include <openssl/cmp.h>
#include <openssl/err.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "zelkord/Context.h"
#include "zelkord/Der.h"
#include "zelkord/Errors.h"
#include "zelkord/NetTransfer.h"
#include "zelkord/Registry.h"

namespace zkd {
namespace {

// An arc of the project's own under the UUID arc (ITU-T X.667).
constexpr char kInfoCertByKeyId[] = "2.25.155136188028556794933360200841573808304.1";
constexpr char kInfoAcquireChain[] = "2.25.155136188028556794933360200841573808304.2";
constexpr char kInfoCertificates[] = "2.25.155136188028556794933360200841573808304.3";
constexpr char kMessageType[] = "application/pkixcmp";
constexpr char kSenderName[] = "ZelkorH";
constexpr int32_t kMaxSlots = 32;
constexpr size_t kMaxKeyIdBytes = 64;

using CmpCtxPtr = std::unique_ptr<OSSL_CMP_CTX, OsslFree<OSSL_CMP_CTX_free>>;
using CmpMsgPtr = std::unique_ptr<OSSL_CMP_MSG, OsslFree<OSSL_CMP_MSG_free>>;
using ObjectPtr = std::unique_ptr<ASN1_OBJECT, OsslFree<ASN1_OBJECT_free>>;
using TypePtr = std::unique_ptr<ASN1_TYPE, OsslFree<ASN1_TYPE_free>>;
using ItavPtr = std::unique_ptr<OSSL_CMP_ITAV, OsslFree<OSSL_CMP_ITAV_free>>;
using StorePtr = std::unique_ptr<X509_STORE, OsslFree<X509_STORE_free>>;
using NamePtr = std::unique_ptr<X509_NAME, OsslFree<X509_NAME_free>>;
void FreeItavs(STACK_OF(OSSL_CMP_ITAV)* s) { sk_OSSL_CMP_ITAV_pop_free(s, OSSL_CMP_ITAV_free); }
using ItavsPtr = std::unique_ptr<STACK_OF(OSSL_CMP_ITAV), OsslFree<FreeItavs>>;

// The exchange of one request, as the CMP client's transfer callback makes it.
struct Exchange {
    const char* server;
    int32_t port;
    int32_t timeout;
    int32_t socketError = 0;
    int code = 0;
    std::string reason;
};

OSSL_CMP_MSG* Transfer(OSSL_CMP_CTX* ctx, const OSSL_CMP_MSG* request) {
    auto* ex = static_cast<Exchange*>(OSSL_CMP_CTX_get_transfer_cb_arg(ctx));
    unsigned char* der = nullptr;
    const int len = i2d_OSSL_CMP_MSG(request, &der);
    if (len <= 0) {
        ex->code = ZK_E_REQUEST_ENCODING;
        ex->reason = "the CMP request cannot be encoded";
        return nullptr;
    }
    const Bytes body(der, der + len);
    OPENSSL_free(der);
    Bytes answer;
    ex->code = PostToService(ex->server, ex->port, ex->timeout, kMessageType, body, answer, &ex->socketError);
    if (ex->code) {
        ex->reason = LastErrorText();
        return nullptr;
    }
    const unsigned char* p = answer.data();
    OSSL_CMP_MSG* reply = d2i_OSSL_CMP_MSG(nullptr, &p, static_cast<long>(answer.size()));
    if (!reply || p != answer.data() + answer.size()) {
        OSSL_CMP_MSG_free(reply);
        ex->code = ZK_E_SERVER_RESPONSE;
        ex->reason = "the service's answer is not a CMP message";
        return nullptr;
    }
    return reply;
}

// The client's own log lines are not wanted: failures come back as codes.
int Quiet(const char*, const char*, int, OSSL_CMP_severity, const char*) { return 1; }

// Hex text (blanks around it allowed) into bytes.
bool KeyIdBytes(const char* text, Bytes& out) {
    std::string hex;
    for (const char* c = text; *c; ++c)
        if (!std::isspace(static_cast<unsigned char>(*c))) hex += *c;
    if (hex.empty() || hex.size() % 2 || hex.size() / 2 > kMaxKeyIdBytes) return false;
    out.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int hi = OPENSSL_hexchar2int(static_cast<unsigned char>(hex[i]));
        const int lo = OPENSSL_hexchar2int(static_cast<unsigned char>(hex[i + 1]));
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

ObjectPtr Oid(const char* dotted) {
    ObjectPtr o(OBJ_txt2obj(dotted, 1));
    if (!o) throw std::bad_alloc();
    return o;
}

void PushItav(OSSL_CMP_CTX* ctx, const char* type, TypePtr value) {
    ObjectPtr oid = Oid(type);
    ItavPtr itav(OSSL_CMP_ITAV_create(oid.get(), value.get()));
    if (!itav) throw std::bad_alloc();
    oid.release();  // the item owns them now
    value.release();
    if (!OSSL_CMP_CTX_push0_genm_ITAV(ctx, itav.get())) throw std::bad_alloc();
    itav.release();
}

TypePtr OctetString(const Bytes& bytes) {
    TypePtr t(ASN1_TYPE_new());
    ASN1_OCTET_STRING* s = ASN1_OCTET_STRING_new();
    if (!t || !s || !ASN1_OCTET_STRING_set(s, bytes.data(), static_cast<int>(bytes.size()))) {
        ASN1_OCTET_STRING_free(s);
        throw std::bad_alloc();
    }
    ASN1_TYPE_set(t.get(), V_ASN1_OCTET_STRING, s);
    return t;
}

TypePtr Boolean(bool value) {
    TypePtr t(ASN1_TYPE_new());
    if (!t || !ASN1_TYPE_set1(t.get(), V_ASN1_BOOLEAN, value ? reinterpret_cast<void*>(1) : nullptr))
        throw std::bad_alloc();
    return t;
}

// The certification centres of the crypto library profiles, the trust
// anchors of the service's signature; nullptr when none is set.
StorePtr Anchors() {
    StorePtr store(X509_STORE_new());
    if (!store) throw std::bad_alloc();
    int n = 0;
    if (const Context* ctx = CurrentContext())
        for (const CryptoLib& lib : ctx->libs)
            if (lib.caCert && X509_STORE_add_cert(store.get(), lib.caCert.get()) == 1) ++n;
    ERR_clear_error();
    return n ? std::move(store) : nullptr;
}

// Why the exchange failed, from OpenSSL's errors: the service's signature
// (15) or anything else it did not like in the answer (26).
int ExchangeFailure(OSSL_CMP_CTX* ctx) {
    int code = ZK_E_SERVER_RESPONSE;
    std::string why;
    for (unsigned long e; (e = ERR_get_error()) != 0;) {
        if (ERR_GET_LIB(e) == ERR_LIB_CMP) {
            switch (ERR_GET_REASON(e)) {
                case CMP_R_ERROR_VALIDATING_PROTECTION:
                case CMP_R_ERROR_VALIDATING_SIGNATURE:
                case CMP_R_MISSING_PROTECTION:
                case CMP_R_NO_SUITABLE_SENDER_CERT:
                case CMP_R_MISSING_TRUST_ANCHOR:
                case CMP_R_POTENTIALLY_INVALID_CERTIFICATE:
                    code = ZK_E_ROOT_CHECK;
                    break;
                default:
                    break;
            }
        }
        if (why.empty()) {
            const char* reason = ERR_reason_error_string(e);
            why = reason ? reason : "unknown";
        }
    }
    if (OSSL_CMP_CTX_get_status(ctx) >= OSSL_CMP_PKISTATUS_rejection) {
        char status[512];
        if (OSSL_CMP_CTX_snprint_PKIStatus(ctx, status, sizeof status)) why = status;
    }
    return Fail(code, "the CMP exchange failed: " + (why.empty() ? std::string("no answer") : why));
}

// The certificate list of the answer: each certificate's bytes as sent.
int AnsweredCertificates(STACK_OF(OSSL_CMP_ITAV)* itavs, std::vector<Bytes>& certs) {
    ObjectPtr wanted = Oid(kInfoCertificates);
    for (int i = 0; i < sk_OSSL_CMP_ITAV_num(itavs); ++i) {
        const OSSL_CMP_ITAV* itav = sk_OSSL_CMP_ITAV_value(itavs, i);
        if (OBJ_cmp(OSSL_CMP_ITAV_get0_type(itav), wanted.get()) != 0) continue;
        const ASN1_TYPE* value = OSSL_CMP_ITAV_get0_value(itav);
        if (!value || value->type != V_ASN1_SEQUENCE) break;
        const uint8_t* data = value->value.sequence->data;
        const size_t len = static_cast<size_t>(value->value.sequence->length);
        der::Item list, item;
        if (!der::ReadItem(data, len, 0, list) || list.tag != der::kSequence || list.End() != len) break;
        for (size_t at = list.ContentStart(); at < list.End(); at = item.End()) {
            if (!der::ReadItem(data, list.End(), at, item)) return Fail(ZK_E_SERVER_RESPONSE, "the CMP answer's certificate list is damaged");
            certs.emplace_back(data + item.start, data + item.End());
        }
        return ZK_E_OK;
    }
    return Fail(ZK_E_SERVER_RESPONSE, "the CMP answer carries no certificate list");
}

int RequestCMP(const char* keyId1, const char* keyId2, uint8_t acquireChain, ZKBlob* slots, int32_t* slotCount,
               int32_t* socketError, const char* server, int32_t port, int32_t timeout) {
    if (socketError) *socketError = 0;
    if (!slots || !slotCount || *slotCount <= 0 || *slotCount > kMaxSlots)
        return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing certificate slots");
    std::vector<Bytes> ids(1);
    if (!keyId1 || !KeyIdBytes(keyId1, ids[0]))
        return Fail(ZK_E_BAD_REQUEST_PARAMS, "the first key identifier is not hexadecimal text");
    if (keyId2 && *keyId2) {
        ids.emplace_back();
        if (!KeyIdBytes(keyId2, ids[1]))
            return Fail(ZK_E_BAD_REQUEST_PARAMS, "the second key identifier is not hexadecimal text");
    }
    zk::net::TransferRequest check;
    if (int rc = PrepareTransfer(server, port, timeout, check)) return rc;
    StorePtr anchors = Anchors();
    if (!anchors)
        return Fail(ZK_E_ROOT_CHECK, "no certification centre certificate (CACert) is set to check the CMP "
                                     "service's signature with");

    CmpCtxPtr ctx(OSSL_CMP_CTX_new(nullptr, nullptr));
    if (!ctx) throw std::bad_alloc();
    Exchange ex{server, port, timeout, 0, 0, {}};
    if (!OSSL_CMP_CTX_set_log_cb(ctx.get(), Quiet) ||
        !OSSL_CMP_CTX_set_option(ctx.get(), OSSL_CMP_OPT_LOG_VERBOSITY, OSSL_CMP_LOG_ERR) ||
        !OSSL_CMP_CTX_set_option(ctx.get(), OSSL_CMP_OPT_UNPROTECTED_SEND, 1) ||
        !OSSL_CMP_CTX_set_option(ctx.get(), OSSL_CMP_OPT_MSG_TIMEOUT, timeout) ||
        !OSSL_CMP_CTX_set_option(ctx.get(), OSSL_CMP_OPT_TOTAL_TIMEOUT, timeout) ||
        !OSSL_CMP_CTX_set_transfer_cb(ctx.get(), Transfer) || !OSSL_CMP_CTX_set_transfer_cb_arg(ctx.get(), &ex) ||
        !OSSL_CMP_CTX_set0_trustedStore(ctx.get(), anchors.get()))
        throw std::bad_alloc();
    anchors.release();
    // An unprotected message still names its sender; the page names nobody,
    // so the client calls itself by a fixed name (OpenSSL refuses a NULL-DN
    // without a sender key identifier).
    NamePtr sender(X509_NAME_new());
    if (!sender ||
        !X509_NAME_add_entry_by_txt(sender.get(), "CN", MBSTRING_ASC,
                                    reinterpret_cast<const unsigned char*>(kSenderName), -1, -1, 0) ||
        !OSSL_CMP_CTX_set1_subjectName(ctx.get(), sender.get()))
        throw std::bad_alloc();
    for (const Bytes& id : ids) PushItav(ctx.get(), kInfoCertByKeyId, OctetString(id));
    PushItav(ctx.get(), kInfoAcquireChain, Boolean(acquireChain != 0));

    ERR_clear_error();
    ItavsPtr answer(OSSL_CMP_exec_GENM_ses(ctx.get()));
    if (socketError) *socketError = ex.socketError;
    if (!answer) {
        if (ex.code) {
            ERR_clear_error();
            return Fail(ex.code, ex.reason);
        }
        return ExchangeFailure(ctx.get());
    }
    ERR_clear_error();
    std::vector<Bytes> certs;
    if (int rc = AnsweredCertificates(answer.get(), certs)) return rc;
    if (certs.size() > static_cast<size_t>(*slotCount))
        return Fail(ZK_E_SERVER_RESPONSE, "the CMP service sent " + std::to_string(certs.size()) +
                                              " certificates for " + std::to_string(*slotCount) + " places");
    for (size_t i = 0; i < certs.size(); ++i) {
        X509Ptr cert = ParseCertificate(certs[i].data(), certs[i].size());
        if (!cert) return Fail(ZK_E_SERVER_RESPONSE, "the CMP service sent something else than a certificate");
        // Without the chain, only the certificates asked for.
        if (!acquireChain) {
            const Bytes keyId = [&] {
                const std::string hex = CertKeyIdentifier(cert.get());
                Bytes b;
                KeyIdBytes(hex.c_str(), b);
                return b;
            }();
            if (std::find(ids.begin(), ids.end(), keyId) == ids.end())
                return Fail(ZK_E_SERVER_RESPONSE, "the CMP service sent a certificate that was not asked for");
        }
        if (!slots[i].data || slots[i].length < certs[i].size())
            return Fail(ZK_E_BAD_REQUEST_PARAMS, "a certificate slot is too small");
    }
    for (size_t i = 0; i < certs.size(); ++i) {
        std::memcpy(slots[i].data, certs[i].data(), certs[i].size());
        slots[i].length = static_cast<uint32_t>(certs[i].size());
    }
    *slotCount = static_cast<int32_t>(certs.size());
    return ZK_E_OK;
}

}  // namespace

ZKD_EXPORT(ZKLCTX_RequestCMP, RequestCMP);

}  // namespace zkd
