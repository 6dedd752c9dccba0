#include "zelkord/DerivationBudget.h"

#include <openssl/asn1t.h>
#include <openssl/evp.h>

#include <memory>
#include <string>

#include "zelkord/Errors.h"

namespace zkd {
namespace {

template <auto Free>
struct Deleter {
    template <typename T>
    void operator()(T* p) const {
        Free(p);
    }
};
using Pbe2Ptr = std::unique_ptr<PBE2PARAM, Deleter<PBE2PARAM_free>>;
using Pbkdf2Ptr = std::unique_ptr<PBKDF2PARAM, Deleter<PBKDF2PARAM_free>>;
using ScryptPtr = std::unique_ptr<SCRYPT_PARAMS, Deleter<SCRYPT_PARAMS_free>>;
using PbePtr = std::unique_ptr<PBEPARAM, Deleter<PBEPARAM_free>>;

constexpr uint64_t kBeyond = UINT64_MAX;  // a count that no budget holds

int Unreadable(const char* what) {
    return Fail(ZK_E_BAD_KEY_FORMAT, std::string("the key file's ") + what + " parameters cannot be read");
}

// A count as written; kBeyond when negative or too large for 64 bits.
uint64_t Count(const ASN1_INTEGER* value, uint64_t absent) {
    if (!value) return absent;
    uint64_t n = 0;
    return ASN1_INTEGER_get_uint64(&n, value) == 1 ? n : kBeyond;
}

int Nid(const X509_ALGOR* alg) {
    const ASN1_OBJECT* oid = nullptr;
    X509_ALGOR_get0(&oid, nullptr, nullptr, alg);
    return OBJ_obj2nid(oid);
}

// The parameters of alg as T (a SEQUENCE of the type it), or nullptr.
template <typename T>
T* Unpack(const X509_ALGOR* alg, const ASN1_ITEM* it) {
    const void* value = nullptr;
    int type = V_ASN1_UNDEF;
    X509_ALGOR_get0(nullptr, &type, &value, alg);
    if (type != V_ASN1_SEQUENCE || !value) return nullptr;
    return static_cast<T*>(ASN1_item_unpack(static_cast<const ASN1_STRING*>(value), it));
}

// a * b and a + b, or kBeyond when they do not fit.
uint64_t Times(uint64_t a, uint64_t b) { return a != 0 && b > kBeyond / a ? kBeyond : a * b; }
uint64_t Plus(uint64_t a, uint64_t b) { return a > kBeyond - b ? kBeyond : a + b; }

// scrypt: its work N * r * p in the budget's terms, once its memory is
// known to stay within kMaxScryptMemory.
int ScryptWork(const SCRYPT_PARAMS* s, uint64_t& work) {
    const uint64_t n = Count(s->costParameter, kBeyond), r = Count(s->blockSize, kBeyond),
                   p = Count(s->parallelizationParameter, kBeyond);
    if (n < 2 || r == 0 || p == 0 || (n & (n - 1)) != 0) return Unreadable("scrypt");
    if (Times(Times(128, r), Plus(Plus(n, p), 2)) > kMaxScryptMemory)
        return Fail(ZK_E_BAD_KEY_FORMAT, "the key file's scrypt parameters ask for more memory than " +
                                             std::to_string(kMaxScryptMemory >> 20) + " MiB");
    work = Times(Times(n, r), p);
    return ZK_E_OK;
}

// The work of PBES2's key derivation function.
int Pbes2Work(const X509_ALGOR* alg, uint64_t& work) {
    Pbe2Ptr pbe2(Unpack<PBE2PARAM>(alg, ASN1_ITEM_rptr(PBE2PARAM)));
    if (!pbe2 || !pbe2->keyfunc) return Unreadable("PBES2");
    switch (Nid(pbe2->keyfunc)) {
        case NID_id_pbkdf2: {
            Pbkdf2Ptr kdf(Unpack<PBKDF2PARAM>(pbe2->keyfunc, ASN1_ITEM_rptr(PBKDF2PARAM)));
            if (!kdf) return Unreadable("PBKDF2");
            work = Count(kdf->iter, kBeyond);
            return ZK_E_OK;
        }
        case NID_id_scrypt: {
            ScryptPtr kdf(Unpack<SCRYPT_PARAMS>(pbe2->keyfunc, ASN1_ITEM_rptr(SCRYPT_PARAMS)));
            if (!kdf) return Unreadable("scrypt");
            return ScryptWork(kdf.get(), work);
        }
        default:
            return Fail(ZK_E_BAD_KEY_FORMAT, "the key file names a key derivation function this system does not know");
    }
}

}  // namespace

int DerivationBudget::SpendIterations(uint64_t iterations) {
    if (iterations > left_) {
        left_ = 0;
        return Fail(ZK_E_BAD_KEY_FORMAT, "the key file asks for more than " +
                                             std::to_string(kMaxKeyDerivationIterations) +
                                             " iterations of password-based key derivation");
    }
    left_ -= iterations;
    return ZK_E_OK;
}

int DerivationBudget::Spend(const X509_ALGOR* alg) {
    if (!alg) return ZK_E_OK;
    const int nid = Nid(alg);
    uint64_t work = 0;
    if (nid == NID_pbes2) {
        if (int rc = Pbes2Work(alg, work)) return rc;
    } else if (EVP_PBE_find(EVP_PBE_TYPE_OUTER, nid, nullptr, nullptr, nullptr)) {
        // Every other password-based scheme OpenSSL knows (PKCS#5 v1.5,
        // PKCS#12, whatever the cipher) has the same parameters.
        PbePtr pbe(Unpack<PBEPARAM>(alg, ASN1_ITEM_rptr(PBEPARAM)));
        if (!pbe) return Unreadable("password-based encryption");
        work = Count(pbe->iter, 1);
    }
    return SpendIterations(work);
}

int DerivationBudget::SpendMac(const PKCS12* p12, unsigned tries) {
    if (!p12 || !PKCS12_mac_present(p12)) return ZK_E_OK;
    const ASN1_INTEGER* iter = nullptr;
    PKCS12_get0_mac(nullptr, nullptr, nullptr, &iter, p12);
    return SpendIterations(Times(Count(iter, 1), tries));
}

}  // namespace zkd
