#include "update/ExecSignature.h"

#include <openssl/bio.h>
#include <openssl/pem.h>  // before cms.h, whose PEM functions it declares
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include <memory>

#include "base/Log.h"
#include "platform/Files.h"
#include "platform/OsslPtr.h"

namespace zk::update {
namespace {

using BioPtr = std::unique_ptr<BIO, OsslFree<BIO_free>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, OsslFree<CMS_ContentInfo_free>>;

struct CertStack {
    STACK_OF(X509)* stack = sk_X509_new_null();
    ~CertStack() { sk_X509_pop_free(stack, X509_free); }
};

constexpr uint64_t kMaxCertFile = 1 << 20;

X509Ptr ReadCertificate(const std::string& path) {
    auto bytes = files::ReadAll(path, kMaxCertFile);
    if (!bytes || bytes->empty()) return nullptr;
    const unsigned char* p = bytes->data();
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(bytes->size())));
    if (cert) return cert;
    BioPtr bio(BIO_new_mem_buf(bytes->data(), static_cast<int>(bytes->size())));
    return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

CmsPtr ReadCms(const std::vector<uint8_t>& bytes) {
    BioPtr der(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    CmsPtr cms(d2i_CMS_bio(der.get(), nullptr));
    if (cms) return cms;
    BioPtr pem(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    return CmsPtr(PEM_read_bio_CMS(pem.get(), nullptr, nullptr, nullptr));
}

// Empty when the signature holds; else why not.
std::string Check(const std::vector<uint8_t>& content, const std::vector<uint8_t>& signature,
                  const std::string& signerCertFile) {
    if (signature.empty()) return "no signature";
    X509Ptr signer = ReadCertificate(signerCertFile);
    if (!signer) return "the signer certificate '" + signerCertFile + "' cannot be read";
    CmsPtr cms = ReadCms(signature);
    if (!cms) return "not a CMS signature";
    if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed || CMS_is_detached(cms.get()) != 1)
        return "not a detached CMS SignedData";
    CertStack certs;
    X509_up_ref(signer.get());
    sk_X509_push(certs.stack, signer.get());
    BioPtr data(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    std::unique_ptr<X509_STORE, OsslFree<X509_STORE_free>> store(X509_STORE_new());
    // Signers are looked for among the configured certificate only (never the
    // certificates the signature carries), and that certificate is trusted
    // as it is: CMS_verify then fails for any signer that is not it.
    ERR_clear_error();
    const unsigned flags = CMS_BINARY | CMS_NOINTERN | CMS_NO_SIGNER_CERT_VERIFY;
    if (CMS_verify(cms.get(), certs.stack, store.get(), data.get(), nullptr, flags) != 1) {
        char text[256] = "signature does not verify";
        if (unsigned long e = ERR_peek_last_error()) ERR_error_string_n(e, text, sizeof text);
        ERR_clear_error();
        return std::string("the signature does not hold: ") + text;
    }
    return {};
}

}  // namespace

bool VerifyDetachedSignature(const std::string& name, const std::vector<uint8_t>& content,
                             const std::vector<uint8_t>& signature, const std::string& signerCertFile) {
    const std::string why = Check(content, signature, signerCertFile);
    if (why.empty()) return true;
    ZLOG("VerifyDetachedSignature", "VerifyDetachedSignature File '%s': %s", name.c_str(), why.c_str());
    return false;
}

}  // namespace zk::update
