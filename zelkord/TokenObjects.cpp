#include "zelkord/TokenObjects.h"

#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>

#include "zelkord/Errors.h"

namespace zkd {
namespace {

using Template = std::vector<CK_ATTRIBUTE>;

CK_OBJECT_CLASS kPrivate = CKO_PRIVATE_KEY, kPublic = CKO_PUBLIC_KEY, kData = CKO_DATA;
CK_BBOOL kTrue = CK_TRUE, kFalse = CK_FALSE;

CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, const void* value, size_t len) {
    return {type, const_cast<void*>(value), static_cast<CK_ULONG>(len)};
}
CK_ATTRIBUTE ClassAttr(CK_OBJECT_CLASS& cls) { return Attr(CKA_CLASS, &cls, sizeof cls); }
CK_ATTRIBUTE BoolAttr(CK_ATTRIBUTE_TYPE type, bool on) { return Attr(type, on ? &kTrue : &kFalse, sizeof(CK_BBOOL)); }

std::vector<CK_OBJECT_HANDLE> FilesNamed(TokenConnection& c, const std::string& nameUtf8) {
    return c.Find({ClassAttr(kData), Attr(CKA_LABEL, nameUtf8.data(), nameUtf8.size())});
}

int HexDigit(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

PKeyPtr FromParams(const char* type, OSSL_PARAM_BLD* bld) {
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr);
    EVP_PKEY* key = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx) != 1 ||
        EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params) != 1)
        key = nullptr;
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    return PKeyPtr(key);
}

PKeyPtr RsaPublic(const Bytes& modulus, const Bytes& exponent) {
    BIGNUM* n = BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr);
    BIGNUM* e = BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    PKeyPtr key;
    if (n && e && bld && OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n) &&
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e))
        key = FromParams("RSA", bld);
    OSSL_PARAM_BLD_free(bld);
    BN_free(n);
    BN_free(e);
    return key;
}

// CKA_EC_PARAMS holds the curve's OID (named curves only); CKA_EC_POINT the
// point, DER-wrapped in an OCTET STRING (some modules give it bare).
PKeyPtr EcPublic(const Bytes& params, const Bytes& point) {
    const unsigned char* p = params.data();
    ASN1_OBJECT* curve = d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(params.size()));
    const int nid = curve ? OBJ_obj2nid(curve) : NID_undef;
    ASN1_OBJECT_free(curve);
    const char* group = nid != NID_undef ? OBJ_nid2sn(nid) : nullptr;
    if (!group) return nullptr;
    Bytes bare = point;
    p = point.data();
    if (ASN1_OCTET_STRING* os = d2i_ASN1_OCTET_STRING(nullptr, &p, static_cast<long>(point.size()))) {
        if (p == point.data() + point.size()) bare.assign(os->data, os->data + os->length);
        ASN1_OCTET_STRING_free(os);
    }
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    PKeyPtr key;
    if (bld && OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, group, 0) &&
        OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, bare.data(), bare.size()))
        key = FromParams("EC", bld);
    OSSL_PARAM_BLD_free(bld);
    return key;
}

}  // namespace

std::vector<TokenKeyEntry> ListTokenKeys(TokenConnection& c) {
    std::vector<TokenKeyEntry> keys;
    for (CK_OBJECT_CLASS* cls : {&kPrivate, &kPublic}) {
        for (CK_OBJECT_HANDLE o : c.Find({ClassAttr(*cls)})) {
            Bytes id, label;
            if (!c.Attribute(o, CKA_ID, id, kMaxTokenKeyId) || id.empty()) continue;
            if (std::any_of(keys.begin(), keys.end(), [&](const TokenKeyEntry& k) { return k.id == id; })) continue;
            c.Attribute(o, CKA_LABEL, label, 1024);
            keys.push_back({std::move(id), std::string(label.begin(), label.end())});
        }
    }
    return keys;
}

std::vector<CK_OBJECT_HANDLE> KeyObjects(TokenConnection& c, const Bytes& id) {
    std::vector<CK_OBJECT_HANDLE> objects;
    if (id.empty()) return objects;
    for (CK_OBJECT_CLASS* cls : {&kPrivate, &kPublic})
        for (CK_OBJECT_HANDLE o : c.Find({ClassAttr(*cls), Attr(CKA_ID, id.data(), id.size())})) objects.push_back(o);
    return objects;
}

bool ParseKeyId(const std::string& hex, Bytes& id) {
    id.clear();
    if (hex.empty() || hex.size() % 2 || hex.size() > 2 * kMaxTokenKeyId) return false;
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        id.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

int SetTokenKeyLabel(TokenConnection& c, const Bytes& id, const std::string& labelUtf8) {
    std::vector<CK_OBJECT_HANDLE> objects = KeyObjects(c, id);
    if (objects.empty()) return Fail(ZK_E_DONGLE, "the token has no key with this identifier");
    CK_ATTRIBUTE label = Attr(CKA_LABEL, labelUtf8.data(), labelUtf8.size());
    for (CK_OBJECT_HANDLE o : objects)
        if (CK_RV rv = c.f().C_SetAttributeValue(c.session(), o, &label, 1); rv != CKR_OK)
            return TokenFail(rv, "C_SetAttributeValue");
    return ZK_E_OK;
}

int DeleteTokenKey(TokenConnection& c, const Bytes& id) {
    std::vector<CK_OBJECT_HANDLE> objects = KeyObjects(c, id);
    if (objects.empty()) return Fail(ZK_E_DONGLE, "the token has no key with this identifier");
    for (CK_OBJECT_HANDLE o : objects)
        if (CK_RV rv = c.f().C_DestroyObject(c.session(), o); rv != CKR_OK) return TokenFail(rv, "C_DestroyObject");
    return ZK_E_OK;
}

PKeyPtr TokenPublicKey(TokenConnection& c, CK_OBJECT_HANDLE privateKey) {
    Bytes type, id;
    if (!c.Attribute(privateKey, CKA_KEY_TYPE, type) || type.size() != sizeof(CK_KEY_TYPE)) return nullptr;
    CK_KEY_TYPE keyType;
    std::memcpy(&keyType, type.data(), sizeof keyType);
    std::vector<CK_OBJECT_HANDLE> pub;
    if (c.Attribute(privateKey, CKA_ID, id, kMaxTokenKeyId) && !id.empty())
        pub = c.Find({ClassAttr(kPublic), Attr(CKA_ID, id.data(), id.size())}, 1);
    Bytes a, b;
    if (keyType == CKK_RSA) {
        CK_OBJECT_HANDLE from = pub.empty() ? privateKey : pub[0];
        if (c.Attribute(from, CKA_MODULUS, a) && c.Attribute(from, CKA_PUBLIC_EXPONENT, b)) return RsaPublic(a, b);
        if (from != privateKey && c.Attribute(privateKey, CKA_MODULUS, a) &&
            c.Attribute(privateKey, CKA_PUBLIC_EXPONENT, b))
            return RsaPublic(a, b);
        return nullptr;
    }
    if (keyType == CKK_EC && !pub.empty() && c.Attribute(pub[0], CKA_EC_PARAMS, a) && c.Attribute(pub[0], CKA_EC_POINT, b))
        return EcPublic(a, b);
    // Without a public object: the key's certificate on the token.
    CK_OBJECT_CLASS cert = CKO_CERTIFICATE;
    std::vector<CK_OBJECT_HANDLE> certs;
    if (!id.empty()) certs = c.Find({ClassAttr(cert), Attr(CKA_ID, id.data(), id.size())}, 1);
    if (certs.empty() || !c.Attribute(certs[0], CKA_VALUE, a)) return nullptr;
    X509Ptr x = ParseCertificate(a.data(), a.size());
    return x ? PKeyPtr(X509_get_pubkey(x.get())) : nullptr;
}

std::vector<std::string> ListTokenFiles(TokenConnection& c) {
    std::vector<std::string> names;
    for (CK_OBJECT_HANDLE o : c.Find({ClassAttr(kData)})) {
        Bytes label;
        if (c.Attribute(o, CKA_LABEL, label, 1024) && !label.empty()) names.emplace_back(label.begin(), label.end());
    }
    return names;
}

int ReadTokenFile(TokenConnection& c, const std::string& nameUtf8, Bytes& out) {
    out.clear();
    std::vector<CK_OBJECT_HANDLE> files = FilesNamed(c, nameUtf8);
    if (files.empty()) return Fail(ZK_E_DONGLE, "the token has no file of this name");
    CK_ATTRIBUTE size{CKA_VALUE, nullptr, 0};
    if (CK_RV rv = c.f().C_GetAttributeValue(c.session(), files[0], &size, 1); rv != CKR_OK)
        return TokenFail(rv, "C_GetAttributeValue");
    if (size.ulValueLen > kMaxTokenFile) return Fail(ZK_E_DONGLE, "the token file is too large");
    if (!c.Attribute(files[0], CKA_VALUE, out, kMaxTokenFile)) return Fail(ZK_E_DONGLE, "the token file cannot be read");
    return ZK_E_OK;
}

int WriteTokenFile(TokenConnection& c, const std::string& nameUtf8, const uint8_t* data, size_t len) {
    if (len > kMaxTokenFile) return Fail(ZK_E_DONGLE, "the file is too large for the token");
    std::vector<CK_OBJECT_HANDLE> old = FilesNamed(c, nameUtf8);
    static const char kApplication[] = "ZelkorH";
    Template tmpl = {ClassAttr(kData),
                     BoolAttr(CKA_TOKEN, true),
                     BoolAttr(CKA_PRIVATE, c.loggedIn()),
                     Attr(CKA_LABEL, nameUtf8.data(), nameUtf8.size()),
                     Attr(CKA_APPLICATION, kApplication, sizeof kApplication - 1),
                     Attr(CKA_VALUE, len ? data : nullptr, len)};
    CK_OBJECT_HANDLE created = CK_INVALID_HANDLE;
    if (CK_RV rv = c.f().C_CreateObject(c.session(), tmpl.data(), tmpl.size(), &created); rv != CKR_OK)
        return TokenFail(rv, "C_CreateObject");
    for (CK_OBJECT_HANDLE o : old)
        if (CK_RV rv = c.f().C_DestroyObject(c.session(), o); rv != CKR_OK) {
            c.f().C_DestroyObject(c.session(), created);  // the old file stays as it was
            return TokenFail(rv, "C_DestroyObject");
        }
    return ZK_E_OK;
}

int GenerateTokenKeyPair(TokenConnection& c, const KeyPairKind& kind, const std::string& labelUtf8,
                         GeneratedKeyPair& out) {
    out = GeneratedKeyPair();
    // A provisional identifier until the public key is known.
    uint8_t provisional[16];
    if (RAND_bytes(provisional, sizeof provisional) != 1) return Fail(ZK_E_DONGLE, "random generator failed");
    const bool ec = kind.ecNid != 0;
    unsigned char* curve = nullptr;
    int curveLen = ec ? i2d_ASN1_OBJECT(OBJ_nid2obj(kind.ecNid), &curve) : 0;
    if (ec && curveLen <= 0) return Fail(ZK_E_DONGLE, "unknown curve");
    CK_ULONG bits = static_cast<CK_ULONG>(kind.rsaBits);
    static const uint8_t kExponent[] = {1, 0, 1};
    const CK_KEY_TYPE keyType = ec ? CKK_EC : CKK_RSA;
    CK_MECHANISM mechanism{ec ? CKM_EC_KEY_PAIR_GEN : CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};

    Template pub = {ClassAttr(kPublic), Attr(CKA_KEY_TYPE, &keyType, sizeof keyType), BoolAttr(CKA_TOKEN, true),
                    BoolAttr(CKA_PRIVATE, false), BoolAttr(CKA_VERIFY, kind.sign),
                    Attr(CKA_ID, provisional, sizeof provisional), Attr(CKA_LABEL, labelUtf8.data(), labelUtf8.size())};
    Template priv = {ClassAttr(kPrivate), Attr(CKA_KEY_TYPE, &keyType, sizeof keyType), BoolAttr(CKA_TOKEN, true),
                     BoolAttr(CKA_PRIVATE, true), BoolAttr(CKA_SENSITIVE, true), BoolAttr(CKA_EXTRACTABLE, false),
                     BoolAttr(CKA_SIGN, kind.sign), Attr(CKA_ID, provisional, sizeof provisional),
                     Attr(CKA_LABEL, labelUtf8.data(), labelUtf8.size())};
    // Every use not asked for is ruled out: tokens differ in what they allow by default.
    priv.push_back(BoolAttr(CKA_DERIVE, ec && kind.agree));
    priv.push_back(BoolAttr(CKA_DECRYPT, !ec && kind.agree));
    priv.push_back(BoolAttr(CKA_UNWRAP, false));
    pub.push_back(BoolAttr(CKA_ENCRYPT, !ec && kind.agree));
    pub.push_back(BoolAttr(CKA_WRAP, false));
    if (ec) {
        pub.push_back(Attr(CKA_EC_PARAMS, curve, static_cast<size_t>(curveLen)));
    } else {
        pub.push_back(Attr(CKA_MODULUS_BITS, &bits, sizeof bits));
        pub.push_back(Attr(CKA_PUBLIC_EXPONENT, kExponent, sizeof kExponent));
    }
    CK_RV rv = c.f().C_GenerateKeyPair(c.session(), &mechanism, pub.data(), pub.size(), priv.data(), priv.size(),
                                       &out.publicKey, &out.privateKey);
    OPENSSL_free(curve);
    if (rv != CKR_OK) {
        out = GeneratedKeyPair();
        return TokenFail(rv, "C_GenerateKeyPair");
    }
    out.publicPKey = TokenPublicKey(c, out.privateKey);
    out.id = out.publicPKey ? PublicKeyIdentifierBytes(out.publicPKey.get()) : Bytes();
    if (out.id.empty()) {
        DestroyTokenKeyPair(c, out);
        out = GeneratedKeyPair();
        return Fail(ZK_E_DONGLE, "the new key's public key cannot be read from the token");
    }
    CK_ATTRIBUTE id = Attr(CKA_ID, out.id.data(), out.id.size());
    for (CK_OBJECT_HANDLE o : {out.privateKey, out.publicKey})
        if ((rv = c.f().C_SetAttributeValue(c.session(), o, &id, 1)) != CKR_OK) {
            DestroyTokenKeyPair(c, out);
            out = GeneratedKeyPair();
            return TokenFail(rv, "C_SetAttributeValue");
        }
    return ZK_E_OK;
}

void DestroyTokenKeyPair(TokenConnection& c, const GeneratedKeyPair& pair) {
    for (CK_OBJECT_HANDLE o : {pair.privateKey, pair.publicKey})
        if (o != CK_INVALID_HANDLE) c.f().C_DestroyObject(c.session(), o);
}

}  // namespace zkd
