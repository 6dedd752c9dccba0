#include "zelkord/CertRequest.h"
#include "platform/Text.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "platform/CodePage.h"
#include "platform/SecureWipe.h"
#include "zelkord/Errors.h"
#include "zelkord/KeyFile.h"
#include "zelkord/Registry.h"
#include "zelkord/TokenPrivateKey.h"

namespace zkd {
namespace {

constexpr char kOidDirDrfo[] = "1.2.804.2.1.1.1.11.1.4.1.1";
constexpr char kOidDirEdrpou[] = "1.2.804.2.1.1.1.11.1.4.2.1";
constexpr char kOidDirEddr[] = "1.2.804.2.1.1.1.11.1.4.7.1";
constexpr char kOidQcStatements[] = "1.3.6.1.5.5.7.1.3";
constexpr char kOidQcCompliance[] = "0.4.0.1862.1.1";
constexpr char kOidQcLimitValue[] = "0.4.0.1862.1.2";
constexpr char kOidQcSscd[] = "0.4.0.1862.1.4";

// Room for everything of a request but its extended key usage list.
constexpr size_t kRequestSlack = 16384;
// An encrypted PKCS#12 of two RSA 4096 keys stays well below this.
constexpr size_t kContainerBound = 20480;
// At most this many identifiers are read from a record's list.
constexpr int32_t kMaxEkuEntries = 1024;

struct ExtensionsFree {
    void operator()(STACK_OF(X509_EXTENSION)* s) const { sk_X509_EXTENSION_pop_free(s, X509_EXTENSION_free); }
};
using ExtensionsPtr = std::unique_ptr<STACK_OF(X509_EXTENSION), ExtensionsFree>;

struct SeqFree {
    void operator()(ASN1_SEQUENCE_ANY* s) const { sk_ASN1_TYPE_pop_free(s, ASN1_TYPE_free); }
};
using SeqPtr = std::unique_ptr<ASN1_SEQUENCE_ANY, SeqFree>;

// How many identifiers the record lists (read by value: the record is packed).
int32_t EkuEntries(const CertRequestSubject& s) {
    const int32_t count = s.ExtKeyUsageCount;
    return s.ExtKeyUsageOids ? std::clamp(count, 0, kMaxEkuEntries) : 0;
}

template <size_t N>
std::string Utf8Field(const char (&field)[N]) {
    return zk::Cp1251ToUtf8(std::string_view(field, strnlen(field, N)));
}

// ASN.1 values for the hand-made extensions (qcStatements and the directory
// attributes have no OpenSSL type). Each returns nullptr on failure.
ASN1_TYPE* OidValue(const char* dotted) {
    ASN1_OBJECT* obj = OBJ_txt2obj(dotted, 1);
    ASN1_TYPE* t = obj ? ASN1_TYPE_new() : nullptr;
    if (t) ASN1_TYPE_set(t, V_ASN1_OBJECT, obj);
    else ASN1_OBJECT_free(obj);
    return t;
}

ASN1_TYPE* IntValue(long value) {
    ASN1_INTEGER* i = ASN1_INTEGER_new();
    ASN1_TYPE* t = i && ASN1_INTEGER_set(i, value) == 1 ? ASN1_TYPE_new() : nullptr;
    if (t) ASN1_TYPE_set(t, V_ASN1_INTEGER, i);
    else ASN1_INTEGER_free(i);
    return t;
}

// A DER encoding carried as it is (a SEQUENCE).
ASN1_TYPE* RawValue(const Bytes& der) {
    ASN1_STRING* s = der.empty() ? nullptr : ASN1_STRING_type_new(V_ASN1_SEQUENCE);
    ASN1_TYPE* t = s && ASN1_STRING_set(s, der.data(), static_cast<int>(der.size())) == 1 ? ASN1_TYPE_new() : nullptr;
    if (t) ASN1_TYPE_set(t, V_ASN1_SEQUENCE, s);
    else ASN1_STRING_free(s);
    return t;
}

bool Printable(const std::string& text) {
    for (unsigned char c : text)
        if (!std::isalnum(c) && !std::strchr(" '()+,-./:=?", c)) return false;
    return true;
}

// A string value: PrintableString when the text allows, else UTF8String.
ASN1_TYPE* TextValue(const std::string& utf8) {
    const int type = Printable(utf8) ? V_ASN1_PRINTABLESTRING : V_ASN1_UTF8STRING;
    ASN1_STRING* s = ASN1_STRING_type_new(type);
    ASN1_TYPE* t = s && ASN1_STRING_set(s, utf8.data(), static_cast<int>(utf8.size())) == 1 ? ASN1_TYPE_new() : nullptr;
    if (t) ASN1_TYPE_set(t, type, s);
    else ASN1_STRING_free(s);
    return t;
}

// SEQUENCE { items } (the items are taken); empty on failure.
Bytes Sequence(std::initializer_list<ASN1_TYPE*> items) {
    SeqPtr seq(sk_ASN1_TYPE_new_null());
    bool ok = seq != nullptr;
    for (ASN1_TYPE* t : items) {
        if (ok && t && sk_ASN1_TYPE_push(seq.get(), t)) continue;
        ok = false;
        ASN1_TYPE_free(t);
    }
    unsigned char* der = nullptr;
    int len = ok ? i2d_ASN1_SEQUENCE_ANY(seq.get(), &der) : -1;
    Bytes out;
    if (len > 0) out.assign(der, der + len);
    OPENSSL_free(der);
    return out;
}

Bytes SequenceOf(const std::vector<Bytes>& elements) {
    SeqPtr seq(sk_ASN1_TYPE_new_null());
    for (const Bytes& e : elements) {
        ASN1_TYPE* t = RawValue(e);
        if (!seq || !t || !sk_ASN1_TYPE_push(seq.get(), t)) {
            ASN1_TYPE_free(t);
            return {};
        }
    }
    unsigned char* der = nullptr;
    int len = seq ? i2d_ASN1_SEQUENCE_ANY(seq.get(), &der) : -1;
    Bytes out;
    if (len > 0) out.assign(der, der + len);
    OPENSSL_free(der);
    return out;
}

bool AddRawExtension(STACK_OF(X509_EXTENSION)* exts, const char* oid, const Bytes& der, bool critical) {
    if (der.empty()) return false;
    ASN1_OBJECT* obj = OBJ_txt2obj(oid, 1);
    ASN1_OCTET_STRING* value = ASN1_OCTET_STRING_new();
    X509_EXTENSION* ext = nullptr;
    if (obj && value && ASN1_OCTET_STRING_set(value, der.data(), static_cast<int>(der.size())) == 1)
        ext = X509_EXTENSION_create_by_OBJ(nullptr, obj, critical ? 1 : 0, value);
    ASN1_OBJECT_free(obj);
    ASN1_OCTET_STRING_free(value);
    if (ext && sk_X509_EXTENSION_push(exts, ext)) return true;
    X509_EXTENSION_free(ext);
    return false;
}

bool AddExtension(STACK_OF(X509_EXTENSION)* exts, int nid, void* value, bool critical) {
    X509_EXTENSION* ext = X509V3_EXT_i2d(nid, critical ? 1 : 0, value);
    if (ext && sk_X509_EXTENSION_push(exts, ext)) return true;
    X509_EXTENSION_free(ext);
    return false;
}

int Refuse(const std::string& why) {
    ERR_clear_error();
    return Fail(ZK_E_REQUEST_ENCODING, why);
}

int FillName(const CertRequestSubject& s, X509_NAME* name) {
    const std::pair<int, std::string> entries[] = {
        {NID_stateOrProvinceName, Utf8Field(s.Obl)},
        {NID_localityName, Utf8Field(s.Rayon)},
        {NID_streetAddress, Utf8Field(s.Adres)},
        {NID_postalCode, Utf8Field(s.PostalCode)},
        {NID_organizationName, Utf8Field(s.OrganizationName)},
        {NID_organizationalUnitName, Utf8Field(s.OrganizationalUnitName)},
        {NID_title, Utf8Field(s.Title)},
        {NID_commonName, Utf8Field(s.Name)},
        {NID_surname, Utf8Field(s.Surname)},
        {NID_givenName, Utf8Field(s.GivenName)},
        {NID_serialNumber, Utf8Field(s.SerialNumber)},
        {NID_dnQualifier, Utf8Field(s.Qualifier)},
        {NID_telephoneNumber, Utf8Field(s.Tel)},
        {NID_pkcs9_emailAddress, Utf8Field(s.Email)},
    };
    for (const auto& [nid, value] : entries) {
        if (value.empty()) continue;
        if (X509_NAME_add_entry_by_NID(name, nid, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value.data()),
                                       static_cast<int>(value.size()), -1, 0) != 1)
            return Refuse(std::string("the subject's ") + OBJ_nid2ln(nid) + " cannot be encoded");
    }
    return ZK_E_OK;
}

int AddKeyUsage(const CertRequestSubject& s, STACK_OF(X509_EXTENSION)* exts) {
    if (s.KeyUsage == 0) return ZK_E_OK;
    ASN1_BIT_STRING* bits = ASN1_BIT_STRING_new();
    bool ok = bits != nullptr;
    // Bit n of the string is 0x80 >> n of the low byte; decipherOnly (bit 8) is 0x8000.
    for (int n = 0; ok && n < 9; ++n) {
        const uint32_t mask = n < 8 ? 0x80u >> n : 0x8000u;
        if (s.KeyUsage & mask) ok = ASN1_BIT_STRING_set_bit(bits, n, 1) == 1;
    }
    ok = ok && AddExtension(exts, NID_key_usage, bits, true);
    ASN1_BIT_STRING_free(bits);
    return ok ? ZK_E_OK : Refuse("the key usage cannot be encoded");
}

// OpenSSL's XKU_* bits, as ProviderCertInfo reports them, and their purposes.
constexpr std::pair<uint32_t, const char*> kEkuBits[] = {
    {0x1, "1.3.6.1.5.5.7.3.1"},         {0x2, "1.3.6.1.5.5.7.3.2"},  {0x4, "1.3.6.1.5.5.7.3.4"},
    {0x8, "1.3.6.1.5.5.7.3.3"},         {0x10, "1.3.6.1.4.1.311.10.3.3"}, {0x20, "1.3.6.1.5.5.7.3.9"},
    {0x40, "1.3.6.1.5.5.7.3.8"},        {0x80, "1.3.6.1.5.5.7.3.10"}, {0x100, "2.5.29.37.0"},
};

int AddExtKeyUsage(const CertRequestSubject& s, STACK_OF(X509_EXTENSION)* exts) {
    std::vector<std::string> oids;
    const int32_t count = EkuEntries(s);
    for (int32_t i = 0; i < count; ++i) {
        std::string oid(s.ExtKeyUsageOids[i], strnlen(s.ExtKeyUsageOids[i], ZK_NAME_SIZE));
        if (!oid.empty()) oids.push_back(oid);
    }
    for (const auto& [bit, oid] : kEkuBits)
        if (s.ExtKeyUsage & bit) oids.emplace_back(oid);
    if (oids.empty()) return ZK_E_OK;
    EXTENDED_KEY_USAGE* eku = sk_ASN1_OBJECT_new_null();
    bool ok = eku != nullptr;
    std::string bad;
    for (size_t i = 0; ok && i < oids.size(); ++i) {
        bool seen = false;
        for (size_t j = 0; j < i; ++j) seen = seen || oids[j] == oids[i];
        if (seen) continue;
        ASN1_OBJECT* obj = OBJ_txt2obj(oids[i].c_str(), 1);
        if (!obj) bad = oids[i];
        ok = obj && sk_ASN1_OBJECT_push(eku, obj);
        if (!ok) ASN1_OBJECT_free(obj);
    }
    ok = ok && AddExtension(exts, NID_ext_key_usage, eku, false);
    sk_ASN1_OBJECT_pop_free(eku, ASN1_OBJECT_free);
    if (!bad.empty()) return Refuse("malformed extended key usage identifier '" + bad + "'");
    return ok ? ZK_E_OK : Refuse("the extended key usage cannot be encoded");
}

int AddKeyIdentifier(EVP_PKEY* publicKey, STACK_OF(X509_EXTENSION)* exts) {
    Bytes id = PublicKeyIdentifierBytes(publicKey);
    ASN1_OCTET_STRING* ski = ASN1_OCTET_STRING_new();
    bool ok = !id.empty() && ski && ASN1_OCTET_STRING_set(ski, id.data(), static_cast<int>(id.size())) == 1 &&
              AddExtension(exts, NID_subject_key_identifier, ski, false);
    ASN1_OCTET_STRING_free(ski);
    return ok ? ZK_E_OK : Refuse("the subject key identifier cannot be encoded");
}

Bytes DirectoryAttribute(const char* oid, const std::string& utf8) {
    ASN1_OBJECT* obj = OBJ_txt2obj(oid, 1);
    ASN1_TYPE* value = TextValue(utf8);
    X509_ATTRIBUTE* attr = obj && value ? X509_ATTRIBUTE_create_by_OBJ(nullptr, obj, value->type,
                                                                       value->value.asn1_string, -1)
                                        : nullptr;
    // create_by_OBJ copies the string: the value is ours to free.
    ASN1_OBJECT_free(obj);
    ASN1_TYPE_free(value);
    unsigned char* der = nullptr;
    int len = attr ? i2d_X509_ATTRIBUTE(attr, &der) : -1;
    Bytes out;
    if (len > 0) out.assign(der, der + len);
    OPENSSL_free(der);
    X509_ATTRIBUTE_free(attr);
    return out;
}

int AddDirectoryAttributes(const CertRequestSubject& s, STACK_OF(X509_EXTENSION)* exts) {
    std::vector<Bytes> attrs;
    const std::pair<const char*, std::string> codes[] = {
        {kOidDirDrfo, Utf8Field(s.DRFO)}, {kOidDirEdrpou, Utf8Field(s.EDRPOU)}, {kOidDirEddr, Utf8Field(s.EDDRU)}};
    for (const auto& [oid, value] : codes) {
        if (value.empty()) continue;
        attrs.push_back(DirectoryAttribute(oid, value));
        if (attrs.back().empty()) return Refuse("a subject directory attribute cannot be encoded");
    }
    if (attrs.empty()) return ZK_E_OK;
    return AddRawExtension(exts, "2.5.29.9", SequenceOf(attrs), false) ? ZK_E_OK
                                                                       : Refuse("the directory attributes cannot be encoded");
}

// MonetaryValue { currency (3 letters, or an ISO 4217 number), amount, exponent }.
ASN1_TYPE* Currency(const std::string& code) {
    bool digits = !code.empty();
    for (char c : code) digits = digits && std::isdigit(static_cast<unsigned char>(c));
    if (digits && code.size() <= 3) return IntValue(std::stol(code));
    bool letters = code.size() == 3;
    for (char c : code) letters = letters && std::isalpha(static_cast<unsigned char>(c));
    return letters ? TextValue(code) : nullptr;
}

int AddQcStatements(const CertRequestSubject& s, STACK_OF(X509_EXTENSION)* exts) {
    std::vector<Bytes> statements;
    if (s.IsQualified) statements.push_back(Sequence({OidValue(kOidQcCompliance)}));
    if (s.HasTransactionLimit) {
        std::string currency = Utf8Field(s.CurrencyCode);
        if (currency.empty()) currency = "UAH";
        ASN1_TYPE* code = Currency(currency);
        if (!code) return Refuse("the transaction limit's currency code '" + currency + "' is not valid");
        Bytes value = Sequence({code, IntValue(s.LimitAmount), IntValue(s.LimitExponent)});
        statements.push_back(Sequence({OidValue(kOidQcLimitValue), RawValue(value)}));
    }
    if (s.IsKeyInDevice) statements.push_back(Sequence({OidValue(kOidQcSscd)}));
    if (statements.empty()) return ZK_E_OK;
    for (const Bytes& st : statements)
        if (st.empty()) return Refuse("the qualified statements cannot be encoded");
    return AddRawExtension(exts, kOidQcStatements, SequenceOf(statements), false)
               ? ZK_E_OK
               : Refuse("the qualified statements cannot be encoded");
}

void PutKeyId(CertRequestSubject& s, EVP_PKEY* publicKey) {
    std::string id = PublicKeyIdentifier(publicKey);
    zk::WriteTextField(s.SubjectKeyId, id);
}

// Copies every output after all of them are known to fit.
struct Out {
    const Bytes* bytes;
    uint8_t* buffer;
    uint32_t* len;
};
int PutOutputs(std::initializer_list<Out> outs) {
    for (const Out& o : outs)
        if (o.len && (o.bytes->size() > *o.len || (!o.buffer && !o.bytes->empty())))
            return Fail(ZK_E_BAD_REQUEST_PARAMS, "Output buffer too small");
    for (const Out& o : outs) {
        if (!o.len) continue;
        if (!o.bytes->empty()) std::memcpy(o.buffer, o.bytes->data(), o.bytes->size());
        *o.len = static_cast<uint32_t>(o.bytes->size());
    }
    return ZK_E_OK;
}

// The arguments both exports share: the records, their schemas, the length
// pointers; 0 or a code.
int CheckRequestArguments(CertRequestSubject* s1, CertRequestSubject* s2, uint32_t* r1Len, uint32_t* r2Len,
                          KeyPairKind kinds[2]) {
    if (!s1 || !r1Len || (s2 && !r2Len)) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing subject or output length");
    if (int rc = KeyKindForSchema(s1->SigningSchema, kinds[0])) return rc;
    if (s2)
        if (int rc = KeyKindForSchema(s2->SigningSchema, kinds[1])) return rc;
    return ZK_E_OK;
}

void ReportBounds(CertRequestSubject* s1, CertRequestSubject* s2, uint32_t* r1Len, uint32_t* r2Len) {
    *r1Len = static_cast<uint32_t>(RequestSizeBound(s1));
    if (r2Len) *r2Len = s2 ? static_cast<uint32_t>(RequestSizeBound(s2)) : 0;
}

PKeyPtr GenerateSoftwareKey(const KeyPairKind& kind) {
    EVP_PKEY* key = kind.ecNid ? EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", OBJ_nid2sn(kind.ecNid))
                               : EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(kind.rsaBits));
    return PKeyPtr(key);
}

int CreateSimpleCertRequest(const char* pass, CertRequestSubject* s1, CertRequestSubject* s2, uint8_t* container,
                            uint32_t* containerLen, uint8_t* r1, uint32_t* r1Len, uint8_t* r2, uint32_t* r2Len) {
    KeyPairKind kinds[2];
    if (!containerLen) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing output length");
    if (int rc = CheckRequestArguments(s1, s2, r1Len, r2Len, kinds)) return rc;
    if (!pass || !*pass) return Fail(ZK_E_BAD_REQUEST_PARAMS, "the key container needs a password");
    if (!r1) {
        *containerLen = kContainerBound;
        ReportBounds(s1, s2, r1Len, r2Len);
        return ZK_E_OK;
    }
    CertRequestSubject* subjects[2] = {s1, s2};
    KeyFile file;
    Bytes requests[2];
    for (int i = 0; i < 2 && subjects[i]; ++i) {
        PKeyPtr key = GenerateSoftwareKey(kinds[i]);
        if (!key) return Fail(ZK_E_REQUEST_ENCODING, "the key pair cannot be generated");
        if (int rc = BuildCertRequest(*subjects[i], key.get(), key.get(), requests[i])) return rc;
        KeyFileKey entry;
        entry.localKeyId = PublicKeyIdentifierBytes(key.get());
        entry.id = entry.friendlyName = PublicKeyIdentifier(key.get());
        entry.key = std::move(key);
        file.keys.push_back(std::move(entry));
    }
    zk::SecretBytes encoded;  // the keys, encrypted, yet wiped once copied out
    if (int rc = WriteKeyFile(file, KeyFileKind::Pkcs12, pass, encoded.bytes())) return rc;
    if (int rc = PutOutputs({{&encoded.bytes(), container, containerLen}, {&requests[0], r1, r1Len},
                             {&requests[1], r2, r2Len}}))
        return rc;
    for (size_t i = 0; i < file.keys.size(); ++i) PutKeyId(*subjects[i], file.keys[i].key.get());
    return ZK_E_OK;
}

// Keys on a token. text2 names the keys (their label); text3, a password of
// a key of its own, has no counterpart on PKCS#11 tokens and is refused.
int DonglesCreateSimpleCertRequest(const char* pin, const char* providerName, int32_t slotId, const char* text2,
                                   const char* text3, CertRequestSubject* s1, CertRequestSubject* s2, uint8_t* r1,
                                   uint32_t* r1Len, uint8_t* r2, uint32_t* r2Len) {
    KeyPairKind kinds[2];
    if (int rc = CheckRequestArguments(s1, s2, r1Len, r2Len, kinds)) return rc;
    if (text3 && *text3) return Fail(ZK_E_DONGLE, "keys on PKCS#11 tokens have no passwords of their own");
    TokenSlot slot;
    if (int rc = FindTokenSlot(providerName, slotId, slot)) return rc;
    if (!r1) {
        ReportBounds(s1, s2, r1Len, r2Len);
        return ZK_E_OK;
    }
    std::shared_ptr<TokenConnection> c;
    if (int rc = TokenConnection::Open(slot, c)) return rc;
    if (int rc = c->Login(CKU_USER, pin)) return rc;

    CertRequestSubject* subjects[2] = {s1, s2};
    for (int i = 0; i < 2 && subjects[i]; ++i)  // key agreement, key or data encipherment
        kinds[i].agree = (subjects[i]->KeyUsage & 0x38) != 0;
    GeneratedKeyPair pairs[2];
    Bytes requests[2];
    int rc = ZK_E_OK;
    for (int i = 0; rc == 0 && i < 2 && subjects[i]; ++i) {
        std::string label = zk::Cp1251ToUtf8(text2 ? text2 : "");
        if (label.empty()) label = Utf8Field(subjects[i]->Name);
        {
            std::lock_guard<std::mutex> hold(c->lock());
            rc = GenerateTokenKeyPair(*c, kinds[i], label, pairs[i]);
        }
        if (rc == 0) {
            PKeyPtr key = WrapTokenPrivateKey(c, pairs[i].privateKey, pairs[i].publicPKey.get());
            rc = key ? BuildCertRequest(*subjects[i], key.get(), pairs[i].publicPKey.get(), requests[i])
                     : Fail(ZK_E_DONGLE, "the new key cannot be used");
        }
    }
    if (rc == 0) rc = PutOutputs({{&requests[0], r1, r1Len}, {&requests[1], r2, r2Len}});
    if (rc != 0) {  // no key is left behind without its request
        std::lock_guard<std::mutex> hold(c->lock());
        for (const GeneratedKeyPair& p : pairs) DestroyTokenKeyPair(*c, p);
        return rc;
    }
    for (int i = 0; i < 2 && subjects[i]; ++i) PutKeyId(*subjects[i], pairs[i].publicPKey.get());
    return ZK_E_OK;
}

}  // namespace

int KeyKindForSchema(int32_t schema, KeyPairKind& kind) {
    kind = KeyPairKind();
    switch (schema) {
        case 9: kind.ecNid = NID_X9_62_prime256v1; kind.digest = EVP_sha256(); break;
        case 10: kind.ecNid = NID_secp384r1; kind.digest = EVP_sha384(); break;
        case 1: kind.rsaBits = 2048; kind.digest = EVP_sha256(); break;
        case 2: kind.rsaBits = 3072; kind.digest = EVP_sha256(); break;
        case 3: kind.rsaBits = 4096; kind.digest = EVP_sha256(); break;
        default: return Fail(ZK_E_PROVIDER_NOT_SUPPORTED, "signing schema " + std::to_string(schema) + " is not supported");
    }
    return ZK_E_OK;
}

size_t RequestSizeBound(const CertRequestSubject* subject) {
    const int32_t count = subject ? EkuEntries(*subject) : 0;
    return kRequestSlack + static_cast<size_t>(count) * (ZK_NAME_SIZE + 8);
}

int BuildCertRequest(const CertRequestSubject& subject, EVP_PKEY* key, EVP_PKEY* publicKey, Bytes& der) {
    der.clear();
    KeyPairKind kind;
    if (int rc = KeyKindForSchema(subject.SigningSchema, kind)) return rc;
    std::unique_ptr<X509_REQ, zk::OsslFree<X509_REQ_free>> req(X509_REQ_new());
    ExtensionsPtr exts(sk_X509_EXTENSION_new_null());
    if (!req || !exts) return Refuse("out of memory");
    if (X509_REQ_set_version(req.get(), 0) != 1 || X509_REQ_set_pubkey(req.get(), publicKey) != 1)
        return Refuse("the public key cannot be encoded");
    if (int rc = FillName(subject, X509_REQ_get_subject_name(req.get()))) return rc;
    for (auto add : {AddKeyUsage, AddExtKeyUsage, AddDirectoryAttributes, AddQcStatements})
        if (int rc = add(subject, exts.get())) return rc;
    if (int rc = AddKeyIdentifier(publicKey, exts.get())) return rc;
    if (X509_REQ_add_extensions(req.get(), exts.get()) != 1) return Refuse("the extensions cannot be encoded");
    if (X509_REQ_sign(req.get(), key, kind.digest) <= 0) {
        ERR_clear_error();
        return Fail(ZK_E_SIGN_OR_PASSWORD, "the request cannot be signed");
    }
    unsigned char* out = nullptr;
    int len = i2d_X509_REQ(req.get(), &out);
    if (len <= 0) return Refuse("the request cannot be encoded");
    der.assign(out, out + len);
    OPENSSL_free(out);
    return ZK_E_OK;
}

ZKD_EXPORT(ZKLCTX_CreateSimpleCertRequest, CreateSimpleCertRequest);
ZKD_EXPORT(ZKLDongles_CreateSimpleCertRequest, DonglesCreateSimpleCertRequest);

}  // namespace zkd
