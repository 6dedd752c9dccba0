#include "zelkord/CertInfo.h"
#include "platform/Text.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/CodePage.h"
#include "zelkord/Errors.h"
#include "zelkord/Registry.h"
#include "zelkord/Ossl.h"
#include "zelkord/Output.h"

namespace zkd {
namespace {

constexpr char kOidDirDrfo[] = "1.2.804.2.1.1.1.11.1.4.1.1";
constexpr char kOidDirEdrpou[] = "1.2.804.2.1.1.1.11.1.4.2.1";
constexpr char kOidDirEddr[] = "1.2.804.2.1.1.1.11.1.4.7.1";
constexpr char kOidQcCompliance[] = "0.4.0.1862.1.1";
constexpr char kOidQcSscd[] = "0.4.0.1862.1.4";
constexpr char kOidQcStatements[] = "1.3.6.1.5.5.7.1.3";
constexpr char kOidTimestamping[] = "1.3.6.1.5.5.7.48.3";

template <size_t N>
void Put(char (&field)[N], const std::string& cp1251) {
    zk::WriteTextField(field, cp1251);
}

std::string Utf8Of(const ASN1_STRING* s) {
    if (!s) return {};
    unsigned char* utf8 = nullptr;
    int n = ASN1_STRING_to_UTF8(&utf8, s);
    if (n < 0) return {};
    std::string text(reinterpret_cast<char*>(utf8), static_cast<size_t>(n));
    OPENSSL_free(utf8);
    return text;
}

std::string Text(const ASN1_STRING* s) { return zk::Utf8ToCp1251(Utf8Of(s)); }

// The first value of an attribute of a name (Windows-1251), or empty.
std::string NameEntry(const X509_NAME* name, int nid) {
    int i = X509_NAME_get_index_by_NID(name, nid, -1);
    if (i < 0) return {};
    return Text(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i)));
}

std::string WithoutPrefix(const std::string& text, const char* prefix) {
    size_t n = std::strlen(prefix);
    return text.compare(0, n, prefix) == 0 ? text.substr(n) : std::string();
}

std::string OneLine(const X509_NAME* name) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio) return {};
    X509_NAME_print_ex(bio.get(), name, 0, (XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB) | ASN1_STRFLGS_UTF8_CONVERT);
    const char* p = nullptr;
    long n = BIO_get_mem_data(bio.get(), &p);
    return zk::Utf8ToCp1251(std::string(p, static_cast<size_t>(n)));
}

int32_t Seconds(const ASN1_TIME* t, bool isEnd) {
    struct tm tm {};
    if (!t || ASN1_TIME_to_tm(t, &tm) != 1) return 0;
    if (isEnd && tm.tm_year + 1900 == 9999 && tm.tm_mon == 11 && tm.tm_mday == 31) return 0;
    long long s = timegm(&tm);
    if (s > INT32_MAX) return INT32_MAX;
    if (s < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(s);
}

std::string SerialHex(const ASN1_INTEGER* serial) {
    BIGNUM* bn = serial ? ASN1_INTEGER_to_BN(serial, nullptr) : nullptr;
    char* hex = bn ? BN_bn2hex(bn) : nullptr;
    std::string text = hex ? hex : "";
    OPENSSL_free(hex);
    BN_free(bn);
    return text;
}

// The elements of a DER SEQUENCE OF, each as an ASN1_TYPE.
struct SeqFree {
    void operator()(ASN1_SEQUENCE_ANY* s) const { sk_ASN1_TYPE_pop_free(s, ASN1_TYPE_free); }
};
using SeqPtr = std::unique_ptr<ASN1_SEQUENCE_ANY, SeqFree>;

SeqPtr ParseSequence(const unsigned char* der, long len) {
    return SeqPtr(d2i_ASN1_SEQUENCE_ANY(nullptr, &der, len));
}

SeqPtr ParseSequence(const ASN1_TYPE* t) {
    if (!t || t->type != V_ASN1_SEQUENCE) return nullptr;
    return ParseSequence(t->value.sequence->data, t->value.sequence->length);
}

// The DER of an extension's value by dotted identifier, or none.
const ASN1_OCTET_STRING* ExtensionValue(X509* cert, const char* oid) {
    ASN1_OBJECT* obj = OBJ_txt2obj(oid, 1);
    int i = obj ? X509_get_ext_by_OBJ(cert, obj, -1) : -1;
    ASN1_OBJECT_free(obj);
    return i < 0 ? nullptr : X509_EXTENSION_get_data(X509_get_ext(cert, i));
}

std::string Dotted(const ASN1_OBJECT* obj) {
    char buf[ZK_NAME_SIZE];
    int n = OBJ_obj2txt(buf, sizeof buf, obj, 1);
    return n > 0 && static_cast<size_t>(n) < sizeof buf ? std::string(buf) : std::string();
}

// subjectDirectoryAttributes: SEQUENCE OF Attribute { type, SET OF value }.
std::string DirectoryAttribute(X509* cert, const char* oid) {
    int i = X509_get_ext_by_NID(cert, NID_subject_directory_attributes, -1);
    if (i < 0) return {};
    const ASN1_OCTET_STRING* v = X509_EXTENSION_get_data(X509_get_ext(cert, i));
    SeqPtr attrs = ParseSequence(v->data, v->length);
    for (int a = 0; attrs && a < sk_ASN1_TYPE_num(attrs.get()); ++a) {
        const ASN1_TYPE* t = sk_ASN1_TYPE_value(attrs.get(), a);
        if (t->type != V_ASN1_SEQUENCE) continue;
        const unsigned char* p = t->value.sequence->data;
        X509_ATTRIBUTE* attr = d2i_X509_ATTRIBUTE(nullptr, &p, t->value.sequence->length);
        if (!attr) continue;
        std::string value;
        if (Dotted(X509_ATTRIBUTE_get0_object(attr)) == oid && X509_ATTRIBUTE_count(attr) > 0) {
            const ASN1_TYPE* vt = X509_ATTRIBUTE_get0_type(attr, 0);
            if (vt && vt->type != V_ASN1_SEQUENCE && vt->type != V_ASN1_SET && vt->type != V_ASN1_OBJECT &&
                vt->type != V_ASN1_BOOLEAN && vt->type != V_ASN1_NULL)
                value = Text(vt->value.asn1_string);
        }
        X509_ATTRIBUTE_free(attr);
        if (!value.empty()) return value;
    }
    return {};
}

// qcStatements: SEQUENCE OF { statementId, statementInfo OPTIONAL }.
bool HasQcStatement(X509* cert, const char* statement) {
    const ASN1_OCTET_STRING* v = ExtensionValue(cert, kOidQcStatements);
    SeqPtr statements = v ? ParseSequence(v->data, v->length) : nullptr;
    for (int i = 0; statements && i < sk_ASN1_TYPE_num(statements.get()); ++i) {
        SeqPtr parts = ParseSequence(sk_ASN1_TYPE_value(statements.get(), i));
        if (!parts || sk_ASN1_TYPE_num(parts.get()) < 1) continue;
        const ASN1_TYPE* id = sk_ASN1_TYPE_value(parts.get(), 0);
        if (id->type == V_ASN1_OBJECT && Dotted(id->value.object) == statement) return true;
    }
    return false;
}

std::string Email(X509* cert) {
    std::string email = NameEntry(X509_get_subject_name(cert), NID_pkcs9_emailAddress);
    if (!email.empty()) return email;
    auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names) && email.empty(); ++i) {
        const GENERAL_NAME* n = sk_GENERAL_NAME_value(names, i);
        if (n->type == GEN_EMAIL) email = Text(n->d.rfc822Name);
    }
    GENERAL_NAMES_free(names);
    return email;
}

// The first URI of an access method in the extension with this NID.
std::string AccessPoint(X509* cert, int extNid, const char* method) {
    auto* access = static_cast<AUTHORITY_INFO_ACCESS*>(X509_get_ext_d2i(cert, extNid, nullptr, nullptr));
    std::string uri;
    for (int i = 0; access && i < sk_ACCESS_DESCRIPTION_num(access) && uri.empty(); ++i) {
        const ACCESS_DESCRIPTION* d = sk_ACCESS_DESCRIPTION_value(access, i);
        if (Dotted(d->method) == method && d->location->type == GEN_URI) uri = Text(d->location->d.uniformResourceIdentifier);
    }
    AUTHORITY_INFO_ACCESS_free(access);
    return uri;
}

std::string AccessPoint(X509* cert, const char* method) {
    std::string uri = AccessPoint(cert, NID_info_access, method);
    return uri.empty() ? AccessPoint(cert, NID_sinfo_access, method) : uri;
}

void PutExtKeyUsageOids(X509* cert, ProviderCertInfo& info) {
    int slots = info.ExtKeyUsageSlots;
    info.ExtKeyUsageSlots = 0;
    if (!info.ExtKeyUsageOids || slots <= 0) return;
    auto* eku = static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(cert, NID_ext_key_usage, nullptr, nullptr));
    int written = 0;
    for (int i = 0; eku && i < sk_ASN1_OBJECT_num(eku) && written < slots; ++i) {
        std::string oid = Dotted(sk_ASN1_OBJECT_value(eku, i));
        if (oid.empty()) continue;
        Put(info.ExtKeyUsageOids[written++], oid);
    }
    EXTENDED_KEY_USAGE_free(eku);
    info.ExtKeyUsageSlots = written;
}

int32_t TypeOf(uint32_t keyUsage) {
    bool signs = keyUsage & (KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION);
    bool encrypts = keyUsage & (KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT | KU_KEY_AGREEMENT);
    return (signs ? 1 : 0) | (encrypts ? 2 : 0);
}

}  // namespace

void FillCertInfo(X509* cert, ProviderCertInfo& info) {
    const X509_NAME* subject = X509_get_subject_name(cert);
    const X509_NAME* issuer = X509_get_issuer_name(cert);

    Put(info.SN, SerialHex(X509_get0_serialNumber(cert)));
    Put(info.Serial, CertKeyIdentifier(cert));
    Put(info.SubjectCN, NameEntry(subject, NID_commonName));
    std::string issuerName = NameEntry(issuer, NID_commonName);
    Put(info.Issuer, issuerName.empty() ? NameEntry(issuer, NID_organizationName) : issuerName);
    Put(info.IssuerSN, NameEntry(issuer, NID_serialNumber));
    info.DateBeg = Seconds(X509_get0_notBefore(cert), false);
    info.DateEnd = Seconds(X509_get0_notAfter(cert), true);

    std::string serialNumber = NameEntry(subject, NID_serialNumber);
    std::string edrpou = DirectoryAttribute(cert, kOidDirEdrpou);
    if (edrpou.empty()) edrpou = WithoutPrefix(NameEntry(subject, NID_organizationIdentifier), "NTRUA-");
    std::string drfo = DirectoryAttribute(cert, kOidDirDrfo);
    if (drfo.empty()) drfo = WithoutPrefix(serialNumber, "TINUA-");
    Put(info.EDRPOU, edrpou);
    Put(info.DRFO, drfo);
    Put(info.EDDRU, DirectoryAttribute(cert, kOidDirEddr));

    Put(info.Name, NameEntry(subject, NID_commonName));
    Put(info.Email, Email(cert));
    Put(info.Title, NameEntry(subject, NID_title));
    Put(info.PostalCode, NameEntry(subject, NID_postalCode));
    Put(info.Obl, NameEntry(subject, NID_stateOrProvinceName));
    Put(info.Rayon, NameEntry(subject, NID_localityName));
    Put(info.Adres, NameEntry(subject, NID_streetAddress));
    Put(info.Tel, NameEntry(subject, NID_telephoneNumber));
    Put(info.Country, NameEntry(subject, NID_countryName));
    Put(info.Surname, NameEntry(subject, NID_surname));
    Put(info.GivenName, NameEntry(subject, NID_givenName));
    Put(info.SerialNumber, serialNumber);
    Put(info.OrgNm, NameEntry(subject, NID_organizationName));
    Put(info.UnitName, NameEntry(subject, NID_organizationalUnitName));
    Put(info.IssuerDN, OneLine(issuer));
    Put(info.SubjectDN, OneLine(subject));

    uint32_t ku = X509_get_key_usage(cert);
    info.KeyUsage = ku == UINT32_MAX ? 0 : ku;
    uint32_t xku = X509_get_extended_key_usage(cert);
    info.ExtKeyUsage = xku == UINT32_MAX ? 0 : xku;
    PutExtKeyUsageOids(cert, info);

    Put(info.AccessOCSP, AccessPoint(cert, Dotted(OBJ_nid2obj(NID_ad_OCSP)).c_str()));
    Put(info.AccessTSP, AccessPoint(cert, kOidTimestamping));
    info.IsQualified = HasQcStatement(cert, kOidQcCompliance) ? 1 : 0;
    info.IsKeyInDevice = HasQcStatement(cert, kOidQcSscd) ? 1 : 0;
    info.Type = TypeOf(info.KeyUsage);
    ERR_clear_error();
}

void FillRecipientId(const X509_NAME* issuer, const ASN1_INTEGER* serial, const ASN1_OCTET_STRING* keyId,
                     ProviderCertInfo& info) {
    if (serial) Put(info.SN, SerialHex(serial));
    if (keyId) Put(info.Serial, HexUpper(ASN1_STRING_get0_data(keyId), static_cast<size_t>(ASN1_STRING_length(keyId))));
    if (issuer) {
        std::string issuerName = NameEntry(issuer, NID_commonName);
        Put(info.Issuer, issuerName.empty() ? NameEntry(issuer, NID_organizationName) : issuerName);
        Put(info.IssuerSN, NameEntry(issuer, NID_serialNumber));
        Put(info.IssuerDN, OneLine(issuer));
    }
}

int DescribeCertificate(const uint8_t* data, uint32_t len, ProviderCertInfo* info) {
    if (!info) return Fail(ZK_E_BAD_REQUEST_PARAMS, "no certificate information record");
    X509Ptr cert = ParseCertificate(data, len);
    if (!cert) return Fail(ZK_E_CERT_INFO, "the bytes hold no certificate");
    // Extensions are decoded (and malformed ones detected) on first use.
    if (X509_check_purpose(cert.get(), -1, 0) != 1) {
        ERR_clear_error();
        return Fail(ZK_E_CERT_INFO, "the certificate has malformed extensions");
    }
    FillCertInfo(cert.get(), *info);
    return ZK_E_OK;
}

namespace {

int SlotReadCert(ZKLDContext, int32_t, const uint8_t* cert, uint32_t len, ProviderCertInfo* info) {
    return DescribeCertificate(cert, len, info);
}

ZKD_SLOT(ZKLD_SLOT_READ_CERT, SlotReadCert);

}  // namespace

ZKD_EXPORT(ZKLCTX_GetCertInfo, DescribeCertificate);

}  // namespace zkd
