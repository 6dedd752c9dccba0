#include "zelkord/KeyFile.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>

#include <array>
#include <climits>
#include <cstring>
#include <optional>

#include "platform/CodePage.h"
#include "platform/SecureWipe.h"
#include "zelkord/DerivationBudget.h"
#include "zelkord/DerivationContext.h"
#include "zelkord/Errors.h"
#include "zelkord/GiveUp.h"
#include "zelkord/JksStore.h"
#include "zelkord/Pkcs12Mac.h"

namespace zkd {
namespace {

constexpr int kPbeIterations = 10000;
// The PEM header of an encrypted PKCS#8 key, named by OpenSSL's own constant.
const std::string kPemEncryptedKey = std::string("-----BEGIN ") + PEM_STRING_PKCS8;

using Bags = STACK_OF(PKCS12_SAFEBAG);
using Safes = STACK_OF(PKCS7);
struct BagsFree {
    void operator()(Bags* b) const { sk_PKCS12_SAFEBAG_pop_free(b, PKCS12_SAFEBAG_free); }
};
struct SafesFree {
    void operator()(Safes* s) const { sk_PKCS7_pop_free(s, PKCS7_free); }
};
using BagsPtr = std::unique_ptr<Bags, BagsFree>;
using SafesPtr = std::unique_ptr<Safes, SafesFree>;

// The password as OpenSSL takes it: UTF-8 bytes.
class Password {
public:
    explicit Password(const char* cp1251) : utf8_(zk::Cp1251ToUtf8(cp1251 ? cp1251 : "")) {}
    const char* data() const { return utf8_.c_str(); }
    int size() const { return static_cast<int>(utf8_.str().size()); }
    bool empty() const { return utf8_.empty(); }

private:
    zk::SecretString utf8_;
};

bool Contains(const uint8_t* data, size_t len, const char* text) {
    size_t n = std::strlen(text);
    for (size_t i = 0; i + n <= len; ++i)
        if (std::memcmp(data + i, text, n) == 0) return true;
    return false;
}

Bytes LocalKeyId(const PKCS12_SAFEBAG* bag) {
    const ASN1_TYPE* t = PKCS12_SAFEBAG_get0_attr(bag, NID_localKeyID);
    if (!t || t->type != V_ASN1_OCTET_STRING) return {};
    const ASN1_OCTET_STRING* s = t->value.octet_string;
    const uint8_t* p = ASN1_STRING_get0_data(s);
    return Bytes(p, p + ASN1_STRING_length(s));
}

std::string FriendlyName(PKCS12_SAFEBAG* bag) {
    char* name = PKCS12_get_friendlyname(bag);
    std::string text = name ? name : "";
    OPENSSL_free(name);
    return text;
}

int AddKey(KeyFile& out, PKCS8_PRIV_KEY_INFO* info, PKCS12_SAFEBAG* bag) {
    KeyFileKey k;
    k.key.reset(EVP_PKCS82PKEY(info));
    if (!k.key) return Fail(ZK_E_BAD_KEY_FORMAT, "the key file holds a key of an unknown kind");
    if (bag) {
        k.friendlyName = FriendlyName(bag);
        k.localKeyId = LocalKeyId(bag);
    }
    out.keys.push_back(std::move(k));
    return ZK_E_OK;
}

// A derivation that failed: a wrong password, unless the request was given
// up while it ran (then it stopped on purpose).
int DerivationFailed(const char* why) {
    return GivenUp() ? FailGivenUp("key derivation") : Fail(ZK_E_SIGN_OR_PASSWORD, why);
}

// How a PKCS#12 file is read: as a key file (a key required, its keys
// opened), or as a store (its keys opened, or left shut when only its
// certificates are wanted); with the password, or without one (no MAC to
// check, no key to open).
struct Pkcs12Reading {
    bool keysRequired = true;
    bool withPassword = true;
    bool openKeys = true;
};

// The work of the shrouded keys among bags (the one thing in them that
// derives from the password); none when they stay shut.
int SpendOnKeys(const Bags* bags, const Pkcs12Reading& how, DerivationBudget& budget) {
    if (!how.openKeys) return ZK_E_OK;
    for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
        const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
        if (PKCS12_SAFEBAG_get_nid(bag) != NID_pkcs8ShroudedKeyBag) continue;
        const X509_ALGOR* alg = nullptr;
        X509_SIG_get0(PKCS12_SAFEBAG_get0_pkcs8(bag), &alg, nullptr);
        if (int rc = budget.Spend(alg)) return rc;
    }
    return ZK_E_OK;
}

// One SafeContents: keys are decrypted (or left shut), certificates kept;
// other bags are skipped.
int ReadBags(const Bags* bags, const Password& pass, const Pkcs12Reading& how, KeyFile& out) {
    for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
        PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
        switch (PKCS12_SAFEBAG_get_nid(bag)) {
            case NID_pkcs8ShroudedKeyBag: {
                if (!how.openKeys) {
                    out.shutKeyIds.push_back(LocalKeyId(bag));
                    break;
                }
                if (GivenUp()) return FailGivenUp("key derivation");
                P8InfoPtr info(PKCS12_decrypt_skey_ex(bag, pass.data(), pass.size(), DerivationLibCtx(), nullptr));
                if (!info) return DerivationFailed("the key does not open with the password");
                if (int rc = AddKey(out, info.get(), bag)) return rc;
                break;
            }
            case NID_keyBag: {
                if (int rc = AddKey(out, const_cast<PKCS8_PRIV_KEY_INFO*>(PKCS12_SAFEBAG_get0_p8inf(bag)), bag))
                    return rc;
                break;
            }
            case NID_certBag: {
                if (PKCS12_SAFEBAG_get_bag_nid(bag) != NID_x509Certificate) break;
                KeyFileCert c;
                c.cert.reset(PKCS12_SAFEBAG_get1_cert(bag));
                if (!c.cert) return Fail(ZK_E_BAD_KEY_FORMAT, "damaged certificate in the key file");
                c.friendlyName = FriendlyName(bag);
                c.localKeyId = LocalKeyId(bag);
                out.certs.push_back(std::move(c));
                break;
            }
            default:
                break;
        }
    }
    return ZK_E_OK;
}

// The encryption of an encrypted SafeContents, or nullptr when it is damaged.
const X509_ALGOR* SafeAlgorithm(const PKCS7* p7) {
    const PKCS7_ENCRYPT* enc = p7->d.encrypted;
    return enc && enc->enc_data && enc->enc_data->algorithm && enc->enc_data->enc_data ? enc->enc_data->algorithm
                                                                                         : nullptr;
}

// The safes' contents as they can be read before any derivation: the plain
// ones parsed, the encrypted ones left for later (null). The derivations
// seen on the way (the encrypted safes, the plain safes' shrouded keys) are
// spent from the budget first.
int ParseSafes(const Safes* safes, const Pkcs12Reading& how, DerivationBudget& budget, std::vector<BagsPtr>& plain) {
    for (int i = 0; i < sk_PKCS7_num(safes); ++i) {
        PKCS7* p7 = sk_PKCS7_value(safes, i);
        plain.emplace_back();
        switch (OBJ_obj2nid(p7->type)) {
            case NID_pkcs7_data:
                plain.back().reset(PKCS12_unpack_p7data(p7));
                if (!plain.back()) return Fail(ZK_E_BAD_KEY_FORMAT, "damaged key file");
                if (int rc = SpendOnKeys(plain.back().get(), how, budget)) return rc;
                break;
            case NID_pkcs7_encrypted: {
                const X509_ALGOR* alg = SafeAlgorithm(p7);
                if (!alg) return Fail(ZK_E_BAD_KEY_FORMAT, "damaged key file");
                if (int rc = budget.Spend(alg)) return rc;
                break;
            }
            default:
                break;
        }
    }
    return ZK_E_OK;
}

// An encrypted SafeContents opened with the password (without one: with the
// empty password, which some stores use); its shrouded keys are spent from
// the budget before they are decrypted.
int OpenSafe(const PKCS7* p7, const Password& pass, const Pkcs12Reading& how, DerivationBudget& budget,
             BagsPtr& bags) {
    if (GivenUp()) return FailGivenUp("key derivation");
    const X509_ALGOR* alg = SafeAlgorithm(p7);
    bags.reset(static_cast<Bags*>(PKCS12_item_decrypt_d2i_ex(alg, ASN1_ITEM_rptr(PKCS12_SAFEBAGS), pass.data(),
                                                             pass.size(), p7->d.encrypted->enc_data->enc_data, 1,
                                                             DerivationLibCtx(), nullptr)));
    if (!bags)
        return DerivationFailed(how.withPassword ? "the key file does not open with the password"
                                                 : "the key store's certificates are encrypted: they are read with "
                                                   "the store's password (Pass)");
    return SpendOnKeys(bags.get(), how, budget);
}

// The MAC, when present, matches with the password. An empty password is
// encoded either as an empty text or as none at all: both are tried.
int CheckMac(const uint8_t* data, size_t len, const PKCS12* p12, const Password& pass) {
    if (!PKCS12_mac_present(p12)) return ZK_E_OK;
    if (GivenUp()) return FailGivenUp("key derivation");
    if (Pkcs12MacMatches(data, len, p12, pass.data(), pass.size())) return ZK_E_OK;
    if (pass.empty() && !GivenUp() && Pkcs12MacMatches(data, len, p12, nullptr, 0)) return ZK_E_OK;
    return DerivationFailed("the key file does not open with the password");
}

// Every derivation the file asks for is counted before the first one runs
// (those inside encrypted safes as soon as the safe is open), so a file
// beyond the cap is refused at once.
// Without a password the MAC is not checked (nothing to check it with).
int OpenPkcs12(const uint8_t* data, size_t len, PKCS12* p12, const char* passText, const Pkcs12Reading& how,
               KeyFile& out) {
    Password pass(passText);
    SafesPtr safes(PKCS12_unpack_authsafes(p12));
    if (!safes) return Fail(ZK_E_BAD_KEY_FORMAT, "damaged key file");
    DerivationBudget budget;
    std::vector<BagsPtr> plain;
    if (how.withPassword)
        if (int rc = budget.SpendMac(p12, pass.empty() ? 2 : 1)) return rc;
    if (int rc = ParseSafes(safes.get(), how, budget, plain)) return rc;
    if (how.withPassword)
        if (int rc = CheckMac(data, len, p12, pass)) return rc;
    for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
        const PKCS7* p7 = sk_PKCS7_value(safes.get(), i);
        BagsPtr opened;
        if (OBJ_obj2nid(p7->type) == NID_pkcs7_encrypted) {
            if (int rc = OpenSafe(p7, pass, how, budget, opened)) return rc;
        }
        const Bags* bags = opened ? opened.get() : plain[static_cast<size_t>(i)].get();
        if (!bags) continue;
        if (int rc = ReadBags(bags, pass, how, out)) return rc;
    }
    if (how.keysRequired && out.keys.empty()) return Fail(ZK_E_BAD_KEY_FORMAT, "the key file holds no private key");
    out.kind = KeyFileKind::Pkcs12;
    return ZK_E_OK;
}

int OpenPkcs8(X509_SIG* sig, const char* passText, KeyFileKind kind, KeyFile& out) {
    const X509_ALGOR* alg = nullptr;
    X509_SIG_get0(sig, &alg, nullptr);
    DerivationBudget budget;
    if (int rc = budget.Spend(alg)) return rc;
    if (GivenUp()) return FailGivenUp("key derivation");
    Password pass(passText);
    P8InfoPtr info(PKCS8_decrypt_ex(sig, pass.data(), pass.size(), DerivationLibCtx(), nullptr));
    if (!info) return DerivationFailed("the key does not open with the password");
    if (int rc = AddKey(out, info.get(), nullptr)) return rc;
    out.kind = kind;
    return ZK_E_OK;
}

// Fills the identifiers: that of the carried certificate the key belongs to,
// else the SHA-1 of the key's public key bits.
void AssignIdentifiers(KeyFile& file) {
    for (KeyFileKey& k : file.keys) {
        k.id.clear();
        for (const KeyFileCert& c : file.certs)
            if (EVP_PKEY_eq(k.key.get(), X509_get0_pubkey(c.cert.get())) == 1) {
                k.id = CertKeyIdentifier(c.cert.get());
                break;
            }
        if (k.id.empty()) k.id = PublicKeyIdentifier(k.key.get());
    }
}

X509SigPtr EncryptKey(EVP_PKEY* key, const Password& pass) {
    P8InfoPtr info(EVP_PKEY2PKCS8(key));
    if (!info) return nullptr;
    X509_ALGOR* pbe = PKCS5_pbe2_set_iv(EVP_aes_256_cbc(), kPbeIterations, nullptr, 0, nullptr, NID_hmacWithSHA256);
    if (!pbe) return nullptr;
    X509_SIG* sig = PKCS8_set0_pbe(pass.data(), pass.size(), info.get(), pbe);
    if (!sig) X509_ALGOR_free(pbe);
    return X509SigPtr(sig);
}

bool TagBag(PKCS12_SAFEBAG* bag, const std::string& friendlyName, const Bytes& localKeyId) {
    if (!friendlyName.empty() &&
        !PKCS12_add_friendlyname_utf8(bag, friendlyName.c_str(), static_cast<int>(friendlyName.size())))
        return false;
    if (!localKeyId.empty() &&
        !PKCS12_add_localkeyid(bag, const_cast<uint8_t*>(localKeyId.data()), static_cast<int>(localKeyId.size())))
        return false;
    return true;
}

bool PushBag(Bags* bags, PKCS12_SAFEBAG* bag) {
    if (bag && sk_PKCS12_SAFEBAG_push(bags, bag)) return true;
    PKCS12_SAFEBAG_free(bag);
    return false;
}

bool PushSafe(Safes* safes, PKCS7* p7) {
    if (p7 && sk_PKCS7_push(safes, p7)) return true;
    PKCS7_free(p7);
    return false;
}

template <class T, class Encode>
bool ToDer(T* object, Encode encode, Bytes& out) {
    int len = encode(object, nullptr);
    if (len <= 0) return false;
    out.resize(static_cast<size_t>(len));
    unsigned char* p = out.data();
    return encode(object, &p) == len;
}

bool WritePkcs12(const KeyFile& file, const Password& pass, Bytes& out) {
    BagsPtr certBags(sk_PKCS12_SAFEBAG_new_null()), keyBags(sk_PKCS12_SAFEBAG_new_null());
    SafesPtr safes(sk_PKCS7_new_null());
    if (!certBags || !keyBags || !safes) return false;
    for (const KeyFileCert& c : file.certs) {
        PKCS12_SAFEBAG* bag = PKCS12_SAFEBAG_create_cert(c.cert.get());
        if (!PushBag(certBags.get(), bag) || !TagBag(bag, c.friendlyName, c.localKeyId)) return false;
    }
    for (const KeyFileKey& k : file.keys) {
        X509SigPtr sig = EncryptKey(k.key.get(), pass);
        if (!sig) return false;
        PKCS12_SAFEBAG* bag = PKCS12_SAFEBAG_create0_pkcs8(sig.get());
        if (!bag) return false;
        sig.release();
        if (!PushBag(keyBags.get(), bag) || !TagBag(bag, k.friendlyName, k.localKeyId)) return false;
    }
    if (!file.certs.empty() &&
        !PushSafe(safes.get(), PKCS12_pack_p7encdata(NID_aes_256_cbc, pass.data(), pass.size(), nullptr, 0,
                                                     kPbeIterations, certBags.get())))
        return false;
    if (!PushSafe(safes.get(), PKCS12_pack_p7data(keyBags.get()))) return false;
    P12Ptr p12(PKCS12_add_safes(safes.get(), 0));
    if (!p12 || !PKCS12_set_mac(p12.get(), pass.data(), pass.size(), nullptr, 0, kPbeIterations, EVP_sha256()))
        return false;
    return ToDer(p12.get(), i2d_PKCS12, out);
}

bool WritePkcs8(EVP_PKEY* key, bool pem, const Password& pass, Bytes& out) {
    X509SigPtr sig = EncryptKey(key, pass);
    if (!sig) return false;
    if (!pem) return ToDer(sig.get(), i2d_X509_SIG, out);
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || !PEM_write_bio_PKCS8(bio.get(), sig.get())) return false;
    const char* p = nullptr;
    long n = BIO_get_mem_data(bio.get(), &p);
    out.assign(p, p + n);
    return true;
}

// Bytes that may be a key file: not empty, within the size accepted.
int CheckKeyFileSize(const uint8_t* data, size_t len) {
    if (!data || len == 0) return Fail(ZK_E_BAD_KEY_FORMAT, "empty key file");
    if (len > kMaxKeyFileSize || len > INT_MAX) return Fail(ZK_E_BAD_KEY_FORMAT, "the key file is too large");
    return ZK_E_OK;
}

P12Ptr ParsePkcs12(const uint8_t* data, size_t len) {
    const unsigned char* p = data;
    P12Ptr p12(d2i_PKCS12(nullptr, &p, static_cast<long>(len)));
    ERR_clear_error();
    return p12;
}

// The end of every opening: identifiers on success, nothing kept on failure.
int Finish(int rc, KeyFile& out) {
    ERR_clear_error();
    if (rc != 0) {
        out = KeyFile{};
        return rc;
    }
    AssignIdentifiers(out);
    return ZK_E_OK;
}

// What a sizing call of this thread opened, waiting for the call that
// follows (KeepForNextOpening). A file made by another tool may ask for
// hundreds of thousands of key derivation rounds for its MAC and each of its
// bags: opening it twice in a row doubles a second of work.
using Identity = std::array<unsigned char, 32>;
struct KeptOpening {
    Identity identity{};  // of the bytes and the password
    KeyFile file;
};
thread_local std::optional<KeptOpening> t_kept;

bool IdentityOf(const uint8_t* data, size_t len, const char* password, Identity& out) {
    const uint64_t length = len;  // so that no file and password run into another pair
    const char* pass = password ? password : "";
    MdCtxPtr md(EVP_MD_CTX_new());
    unsigned int n = 0;
    return md && EVP_DigestInit_ex(md.get(), EVP_sha256(), nullptr) == 1 &&
           EVP_DigestUpdate(md.get(), &length, sizeof length) == 1 && EVP_DigestUpdate(md.get(), data, len) == 1 &&
           EVP_DigestUpdate(md.get(), pass, std::strlen(pass)) == 1 && EVP_DigestFinal_ex(md.get(), out.data(), &n) == 1 &&
           n == out.size();
}

// The kept opening when it is of these bytes and password. Whatever was kept
// is dropped either way: it serves one call at most.
bool TakeKept(const uint8_t* data, size_t len, const char* password, KeyFile& out) {
    if (!t_kept) return false;
    KeptOpening kept = std::move(*t_kept);
    t_kept.reset();
    Identity identity;
    if (!IdentityOf(data, len, password, identity) || CRYPTO_memcmp(identity.data(), kept.identity.data(), identity.size()) != 0)
        return false;
    out = std::move(kept.file);
    return true;
}

}  // namespace

void KeepForNextOpening(const uint8_t* data, size_t len, const char* password, KeyFile&& file) {
    t_kept.reset();
    KeptOpening kept;
    if (!IdentityOf(data, len, password, kept.identity)) return;
    kept.file = std::move(file);
    t_kept = std::move(kept);
}

int OpenKeyFile(const uint8_t* data, size_t len, const char* password, KeyFile& out) {
    out = KeyFile{};
    if (int rc = CheckKeyFileSize(data, len)) return rc;
    if (TakeKept(data, len, password, out)) return ZK_E_OK;
    int rc;
    const unsigned char* p = data;
    if (IsJks(data, len)) {
        rc = ReadJksKeyFile(data, len, password, out);
    } else if (P12Ptr p12 = ParsePkcs12(data, len)) {
        rc = OpenPkcs12(data, len, p12.get(), password, Pkcs12Reading{}, out);
    } else if (Contains(data, len, kPemEncryptedKey.c_str())) {
        BioPtr bio(BIO_new_mem_buf(data, static_cast<int>(len)));
        X509SigPtr sig(bio ? PEM_read_bio_PKCS8(bio.get(), nullptr, nullptr, nullptr) : nullptr);
        rc = sig ? OpenPkcs8(sig.get(), password, KeyFileKind::Pkcs8Pem, out) : Fail(ZK_E_BAD_KEY_FORMAT, "damaged PEM key file");
    } else {
        p = data;
        X509SigPtr sig(d2i_X509_SIG(nullptr, &p, static_cast<long>(len)));
        rc = sig ? OpenPkcs8(sig.get(), password, KeyFileKind::Pkcs8Der, out) : Fail(ZK_E_BAD_KEY_FORMAT, "not a key file");
    }
    return Finish(rc, out);
}

int OpenPkcs12Store(const uint8_t* data, size_t len, const char* password, bool withKeys, KeyFile& out) {
    out = KeyFile{};
    if (int rc = CheckKeyFileSize(data, len)) return rc;
    P12Ptr p12 = ParsePkcs12(data, len);
    if (!p12) return Fail(ZK_E_BAD_KEY_FORMAT, "not a PKCS#12 file");
    const Pkcs12Reading how{false, password != nullptr, password != nullptr && withKeys};
    return Finish(OpenPkcs12(data, len, p12.get(), password, how, out), out);
}

int WriteKeyFile(const KeyFile& file, KeyFileKind kind, const char* password, Bytes& out) {
    out.clear();
    if (file.keys.empty()) return Fail(ZK_E_BAD_KEY_FORMAT, "no key to write");
    if ((kind == KeyFileKind::Pkcs8Der || kind == KeyFileKind::Pkcs8Pem) && file.keys.size() != 1)
        return Fail(ZK_E_BAD_KEY_FORMAT, "an encrypted PKCS#8 file holds exactly one key");
    Password pass(password);
    bool ok = kind == KeyFileKind::Pkcs12 || kind == KeyFileKind::Jks ? WritePkcs12(file, pass, out)
                                          : WritePkcs8(file.keys[0].key.get(), kind == KeyFileKind::Pkcs8Pem, pass, out);
    ERR_clear_error();
    if (!ok) {
        zk::SecureWipe(out);
        return Fail(ZK_E_BAD_KEY_FORMAT, "the key file cannot be encoded");
    }
    return ZK_E_OK;
}

int FindKeyFor(const KeyFile& file, X509* cert) {
    EVP_PKEY* pub = cert ? X509_get0_pubkey(cert) : nullptr;
    if (!pub) return -1;
    for (size_t i = 0; i < file.keys.size(); ++i)
        if (EVP_PKEY_eq(file.keys[i].key.get(), pub) == 1) return static_cast<int>(i);
    return -1;
}

}  // namespace zkd
