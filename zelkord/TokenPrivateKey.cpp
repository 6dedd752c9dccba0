// OpenSSL 3 still runs keys whose RSA or EC method is not its own through its
// legacy key code, which is what makes a key on a token usable everywhere an
// EVP_PKEY is: those methods are deprecated API, hence the suppression here.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "zelkord/TokenPrivateKey.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/rsa.h>

#include <cstring>

#include "zelkord/Errors.h"
#include "zelkord/TokenObjects.h"

namespace zkd {
namespace {

// What an OpenSSL key object of a token key carries (as its ex_data).
struct KeyRef {
    std::shared_ptr<TokenConnection> connection;
    CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
    bool alwaysAuthenticate = false;  // the key asks for the PIN at every use
};

// The KeyRef of a key object lives as long as the object: the methods' own
// finish and copy hooks free and copy it. (Hooks on the ex_data index itself
// would be called for every RSA and EC key of the process, also after this
// library is unloaded.)
struct Methods {
    int rsaIndex = -1, ecIndex = -1;
    RSA_METHOD* rsa = nullptr;
    EC_KEY_METHOD* ec = nullptr;
    int (*rsaFinish)(RSA*) = nullptr;
    void (*ecFinish)(EC_KEY*) = nullptr;
    int (*ecCopy)(EC_KEY*, const EC_KEY*) = nullptr;
};
const Methods& TheMethods();

// One private-key operation on the token: C_<op>Init, the PIN again for keys
// that ask for it, then C_<op>. false with the last error set.
enum class Op { Sign, Decrypt };
bool RunOnToken(const KeyRef& k, Op op, CK_MECHANISM_TYPE type, const uint8_t* in, size_t inLen, Bytes& out,
                size_t room) {
    TokenConnection& c = *k.connection;
    std::lock_guard<std::mutex> hold(c.lock());
    CK_MECHANISM mechanism{type, nullptr, 0};
    CK_RV rv = op == Op::Sign ? c.f().C_SignInit(c.session(), &mechanism, k.object)
                              : c.f().C_DecryptInit(c.session(), &mechanism, k.object);
    if (rv != CKR_OK) return TokenFail(rv, op == Op::Sign ? "C_SignInit" : "C_DecryptInit"), false;
    if (k.alwaysAuthenticate) {
        const std::string& pin = c.pin().str();
        rv = c.f().C_Login(c.session(), CKU_CONTEXT_SPECIFIC,
                           reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(pin.c_str())), pin.size());
        if (rv != CKR_OK) return TokenFail(rv, "C_Login"), false;
    }
    out.assign(room, 0);
    CK_ULONG n = room;
    auto* data = const_cast<uint8_t*>(in);
    rv = op == Op::Sign ? c.f().C_Sign(c.session(), data, inLen, out.data(), &n)
                        : c.f().C_Decrypt(c.session(), data, inLen, out.data(), &n);
    if (rv != CKR_OK) return TokenFail(rv, op == Op::Sign ? "C_Sign" : "C_Decrypt"), false;
    out.resize(n);
    return true;
}

CK_MECHANISM_TYPE RsaMechanism(int padding) {
    if (padding == RSA_PKCS1_PADDING) return CKM_RSA_PKCS;
    if (padding == RSA_NO_PADDING) return CKM_RSA_X_509;  // PSS and OAEP: OpenSSL pads, the token exponentiates
    return CKM_VENDOR_DEFINED;
}

// Raw RSA results are as long as the modulus: a token that drops leading
// zero bytes gets them back.
int PutRsaResult(const Bytes& result, unsigned char* to, RSA* rsa, int padding) {
    const size_t size = static_cast<size_t>(RSA_size(rsa));
    if (result.size() > size) return -1;
    if (padding != RSA_NO_PADDING) {
        std::memcpy(to, result.data(), result.size());
        return static_cast<int>(result.size());
    }
    std::memset(to, 0, size - result.size());
    std::memcpy(to + size - result.size(), result.data(), result.size());
    return static_cast<int>(size);
}

int RsaPrivateEncrypt(int flen, const unsigned char* from, unsigned char* to, RSA* rsa, int padding) {
    const auto* k = static_cast<KeyRef*>(RSA_get_ex_data(rsa, TheMethods().rsaIndex));
    const CK_MECHANISM_TYPE type = RsaMechanism(padding);
    Bytes result;
    if (!k || flen < 0 || type == CKM_VENDOR_DEFINED ||
        !RunOnToken(*k, Op::Sign, type, from, static_cast<size_t>(flen), result, static_cast<size_t>(RSA_size(rsa))))
        return -1;
    return PutRsaResult(result, to, rsa, padding);
}

int RsaPrivateDecrypt(int flen, const unsigned char* from, unsigned char* to, RSA* rsa, int padding) {
    const auto* k = static_cast<KeyRef*>(RSA_get_ex_data(rsa, TheMethods().rsaIndex));
    const CK_MECHANISM_TYPE type = RsaMechanism(padding);
    Bytes result;
    if (!k || flen < 0 || type == CKM_VENDOR_DEFINED ||
        !RunOnToken(*k, Op::Decrypt, type, from, static_cast<size_t>(flen), result,
                    static_cast<size_t>(RSA_size(rsa))))
        return -1;
    const int n = PutRsaResult(result, to, rsa, padding);
    zk::SecureWipe(result);
    return n;
}

// CKM_ECDSA answers r and s side by side, each as long as the group order.
ECDSA_SIG* EcSignSig(const unsigned char* digest, int len, const BIGNUM*, const BIGNUM*, EC_KEY* ec) {
    const auto* k = static_cast<KeyRef*>(EC_KEY_get_ex_data(ec, TheMethods().ecIndex));
    Bytes rs;
    if (!k || len < 0 || !RunOnToken(*k, Op::Sign, CKM_ECDSA, digest, static_cast<size_t>(len), rs, 2 * 66) ||
        rs.empty() || rs.size() % 2)
        return nullptr;
    const int half = static_cast<int>(rs.size() / 2);
    BIGNUM* r = BN_bin2bn(rs.data(), half, nullptr);
    BIGNUM* s = BN_bin2bn(rs.data() + half, half, nullptr);
    ECDSA_SIG* sig = ECDSA_SIG_new();
    if (!r || !s || !sig || ECDSA_SIG_set0(sig, r, s) != 1) {
        BN_free(r);
        BN_free(s);
        ECDSA_SIG_free(sig);
        return nullptr;
    }
    return sig;
}

int EcSign(int, const unsigned char* digest, int len, unsigned char* out, unsigned int* outLen, const BIGNUM* kinv,
           const BIGNUM* r, EC_KEY* ec) {
    ECDSA_SIG* sig = EcSignSig(digest, len, kinv, r, ec);
    if (!sig) return 0;
    const int n = i2d_ECDSA_SIG(sig, &out);
    ECDSA_SIG_free(sig);
    if (n < 0) return 0;
    *outLen = static_cast<unsigned int>(n);
    return 1;
}

// ECDH in the token: the shared secret comes back as a session object that
// may be read once and is destroyed at once.
int EcDerive(unsigned char** secret, size_t* secretLen, const EC_POINT* peer, const EC_KEY* ec) {
    const auto* k = static_cast<KeyRef*>(EC_KEY_get_ex_data(ec, TheMethods().ecIndex));
    const EC_GROUP* group = EC_KEY_get0_group(ec);
    if (!k || !group) return 0;
    Bytes point(EC_POINT_point2oct(group, peer, POINT_CONVERSION_UNCOMPRESSED, nullptr, 0, nullptr));
    if (point.empty() ||
        EC_POINT_point2oct(group, peer, POINT_CONVERSION_UNCOMPRESSED, point.data(), point.size(), nullptr) == 0)
        return 0;
    CK_ECDH1_DERIVE_PARAMS params{CKD_NULL, 0, nullptr, static_cast<CK_ULONG>(point.size()), point.data()};
    CK_MECHANISM mechanism{CKM_ECDH1_DERIVE, &params, sizeof params};
    CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
    CK_KEY_TYPE type = CKK_GENERIC_SECRET;
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_KEY_TYPE, &type, sizeof type},
                           {CKA_TOKEN, &no, sizeof no},   {CKA_SENSITIVE, &no, sizeof no},
                           {CKA_EXTRACTABLE, &yes, sizeof yes}};
    TokenConnection& c = *k->connection;
    std::lock_guard<std::mutex> hold(c.lock());
    CK_OBJECT_HANDLE shared = CK_INVALID_HANDLE;
    CK_RV rv = c.f().C_DeriveKey(c.session(), &mechanism, k->object, tmpl, 5, &shared);
    if (rv != CKR_OK) return TokenFail(rv, "C_DeriveKey"), 0;
    zk::SecretBytes value;
    const bool read = c.Attribute(shared, CKA_VALUE, value.bytes(), 1024);
    c.f().C_DestroyObject(c.session(), shared);
    if (!read || value.empty()) return Fail(ZK_E_DONGLE, "the token does not give the shared secret"), 0;
    *secret = static_cast<unsigned char*>(OPENSSL_malloc(value.bytes().size()));
    if (!*secret) return 0;
    std::memcpy(*secret, value.bytes().data(), value.bytes().size());
    *secretLen = value.bytes().size();
    return 1;
}

int RsaFinish(RSA* rsa) {
    const Methods& m = TheMethods();
    delete static_cast<KeyRef*>(RSA_get_ex_data(rsa, m.rsaIndex));
    RSA_set_ex_data(rsa, m.rsaIndex, nullptr);
    return m.rsaFinish ? m.rsaFinish(rsa) : 1;
}

void EcFinish(EC_KEY* ec) {
    const Methods& m = TheMethods();
    delete static_cast<KeyRef*>(EC_KEY_get_ex_data(ec, m.ecIndex));
    EC_KEY_set_ex_data(ec, m.ecIndex, nullptr);
    if (m.ecFinish) m.ecFinish(ec);
}

// A copied key object got the same KeyRef pointer: it gets its own.
int EcCopy(EC_KEY* to, const EC_KEY* from) {
    const Methods& m = TheMethods();
    const auto* ref = static_cast<KeyRef*>(EC_KEY_get_ex_data(from, m.ecIndex));
    KeyRef* copy = ref ? new (std::nothrow) KeyRef(*ref) : nullptr;
    if (ref && (!copy || EC_KEY_set_ex_data(to, m.ecIndex, copy) != 1)) {
        delete copy;
        EC_KEY_set_ex_data(to, m.ecIndex, nullptr);
        return 0;
    }
    return m.ecCopy ? m.ecCopy(to, from) : 1;
}

Methods MakeMethods() {
    Methods m;
    m.rsaIndex = RSA_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    m.ecIndex = EC_KEY_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    m.rsa = RSA_meth_dup(RSA_PKCS1_OpenSSL());
    if (m.rsa) {
        m.rsaFinish = RSA_meth_get_finish(m.rsa);
        RSA_meth_set1_name(m.rsa, "ZelkorD token RSA");
        RSA_meth_set_flags(m.rsa, RSA_meth_get_flags(m.rsa) | RSA_FLAG_EXT_PKEY);
        RSA_meth_set_priv_enc(m.rsa, RsaPrivateEncrypt);
        RSA_meth_set_priv_dec(m.rsa, RsaPrivateDecrypt);
        RSA_meth_set_finish(m.rsa, RsaFinish);
    }
    m.ec = EC_KEY_METHOD_new(EC_KEY_OpenSSL());
    if (m.ec) {
        int (*sign)(int, const unsigned char*, int, unsigned char*, unsigned int*, const BIGNUM*, const BIGNUM*,
                    EC_KEY*) = nullptr;
        int (*setup)(EC_KEY*, BN_CTX*, BIGNUM**, BIGNUM**) = nullptr;
        ECDSA_SIG* (*signSig)(const unsigned char*, int, const BIGNUM*, const BIGNUM*, EC_KEY*) = nullptr;
        EC_KEY_METHOD_get_sign(m.ec, &sign, &setup, &signSig);
        EC_KEY_METHOD_set_sign(m.ec, EcSign, setup, EcSignSig);
        EC_KEY_METHOD_set_compute_key(m.ec, EcDerive);
        int (*init)(EC_KEY*) = nullptr;
        int (*setGroup)(EC_KEY*, const EC_GROUP*) = nullptr;
        int (*setPrivate)(EC_KEY*, const BIGNUM*) = nullptr;
        int (*setPublic)(EC_KEY*, const EC_POINT*) = nullptr;
        EC_KEY_METHOD_get_init(m.ec, &init, &m.ecFinish, &m.ecCopy, &setGroup, &setPrivate, &setPublic);
        EC_KEY_METHOD_set_init(m.ec, init, EcFinish, EcCopy, setGroup, setPrivate, setPublic);
    }
    return m;
}

// Made once, kept for the life of the process (keys may use them until then).
const Methods& TheMethods() {
    static const Methods methods = MakeMethods();
    return methods;
}

// Both wrappers take ref: from the moment it is set as the key object's
// ex_data it goes with that object, before that they delete it on failure.
EVP_PKEY* WrapRsa(EVP_PKEY* publicKey, KeyRef* ref) {
    const Methods& m = TheMethods();
    BIGNUM *n = nullptr, *e = nullptr;
    RSA* rsa = m.rsa ? RSA_new() : nullptr;
    if (!rsa || RSA_set_method(rsa, m.rsa) != 1 || EVP_PKEY_get_bn_param(publicKey, OSSL_PKEY_PARAM_RSA_N, &n) != 1 ||
        EVP_PKEY_get_bn_param(publicKey, OSSL_PKEY_PARAM_RSA_E, &e) != 1 || RSA_set0_key(rsa, n, e, nullptr) != 1) {
        BN_free(n);
        BN_free(e);
        RSA_free(rsa);
        delete ref;
        return nullptr;
    }
    if (RSA_set_ex_data(rsa, m.rsaIndex, ref) != 1) {
        RSA_free(rsa);
        delete ref;
        return nullptr;
    }
    EVP_PKEY* key = EVP_PKEY_new();
    if (!key || EVP_PKEY_assign_RSA(key, rsa) != 1) {
        RSA_free(rsa);
        EVP_PKEY_free(key);
        return nullptr;
    }
    return key;
}

EVP_PKEY* WrapEc(EVP_PKEY* publicKey, KeyRef* ref) {
    const Methods& m = TheMethods();
    char group[80] = {};
    uint8_t point[160];
    size_t pointLen = 0;
    int nid = NID_undef;
    if (m.ec &&
        EVP_PKEY_get_utf8_string_param(publicKey, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, nullptr) == 1 &&
        EVP_PKEY_get_octet_string_param(publicKey, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &pointLen) == 1) {
        nid = OBJ_sn2nid(group);
        if (nid == NID_undef) nid = EC_curve_nist2nid(group);
    }
    EC_KEY* ec = nid == NID_undef ? nullptr : EC_KEY_new_by_curve_name(nid);
    EC_POINT* pub = ec ? EC_POINT_new(EC_KEY_get0_group(ec)) : nullptr;
    const bool ready = pub && EC_POINT_oct2point(EC_KEY_get0_group(ec), pub, point, pointLen, nullptr) == 1 &&
                       EC_KEY_set_public_key(ec, pub) == 1 && EC_KEY_set_method(ec, m.ec) == 1;
    EC_POINT_free(pub);
    if (!ready || EC_KEY_set_ex_data(ec, m.ecIndex, ref) != 1) {
        EC_KEY_free(ec);
        delete ref;
        return nullptr;
    }
    EVP_PKEY* key = EVP_PKEY_new();
    if (!key || EVP_PKEY_assign_EC_KEY(key, ec) != 1) {
        EC_KEY_free(ec);
        EVP_PKEY_free(key);
        return nullptr;
    }
    return key;
}

}  // namespace

PKeyPtr WrapTokenPrivateKey(const std::shared_ptr<TokenConnection>& connection, CK_OBJECT_HANDLE privateKey,
                            EVP_PKEY* publicKey) {
    auto* ref = new KeyRef{connection, privateKey, false};
    {
        std::lock_guard<std::mutex> hold(connection->lock());
        ref->alwaysAuthenticate = connection->Flag(privateKey, CKA_ALWAYS_AUTHENTICATE, false);
    }
    if (EVP_PKEY_is_a(publicKey, "RSA")) return PKeyPtr(WrapRsa(publicKey, ref));
    if (EVP_PKEY_is_a(publicKey, "EC")) return PKeyPtr(WrapEc(publicKey, ref));
    delete ref;
    return nullptr;
}

int OpenTokenPrivateKey(const std::shared_ptr<TokenConnection>& connection, EVP_PKEY* publicKey, PKeyPtr& out) {
    out.reset();
    if (!connection || !publicKey) return Fail(ZK_E_DONGLE, "no token connection");
    CK_OBJECT_HANDLE found = CK_INVALID_HANDLE;
    {
        std::lock_guard<std::mutex> hold(connection->lock());
        CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
        for (CK_OBJECT_HANDLE o : connection->Find({{CKA_CLASS, &cls, sizeof cls}})) {
            PKeyPtr pub = TokenPublicKey(*connection, o);
            if (pub && EVP_PKEY_eq(pub.get(), publicKey) == 1) {
                found = o;
                break;
            }
        }
    }
    if (found == CK_INVALID_HANDLE)
        return Fail(ZK_E_KEY_MISMATCH, connection->loggedIn() ? "the token holds no key of this certificate"
                                                              : "the token shows no private key without the PIN");
    out = WrapTokenPrivateKey(connection, found, publicKey);
    if (!out) return Fail(ZK_E_DONGLE, "the token's key cannot be used");
    return ZK_E_OK;
}

}  // namespace zkd
