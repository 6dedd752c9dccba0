#include "zelkord/CryptoLibs.h"
#include "platform/Text.h"

#include <dlfcn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <strings.h>

#include "platform/Profile.h"
#include "platform/SecureWipe.h"
#include "zelkord/Ossl.h"

namespace zkd {
namespace {

// Crypto libraries the built-in engine serves as profiles of itself.
constexpr const char* kBuiltIn[] = {"USC", "QLB", "UA1"};
// What a separately supplied library module must export.
constexpr const char* kModuleEntry = "ZKCryptoLib_Info";

bool IsBuiltIn(const std::string& code) {
    for (const char* b : kBuiltIn)
        if (strcasecmp(b, code.c_str()) == 0) return true;
    return false;
}

std::string Resolve(const std::string& paramsPath, const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    size_t slash = paramsPath.rfind('/');
    return slash == std::string::npos ? path : paramsPath.substr(0, slash + 1) + path;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : std::string();
}

// DER or PEM.
X509Ptr LoadCert(const std::string& path) {
    std::string bytes = ReadFile(path);
    return ParseCertificate(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

PKeyPtr LoadKey(const std::string& path, const std::string& pass) {
    std::string bytes = ReadFile(path);
    BIO* bio = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
    EVP_PKEY* k = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, const_cast<char*>(pass.c_str()));
    if (!k) {
        BIO_reset(bio);
        k = d2i_PKCS8PrivateKey_bio(bio, nullptr, nullptr, const_cast<char*>(pass.c_str()));
    }
    BIO_free(bio);
    zk::SecureWipe(bytes);
    return PKeyPtr(k);
}

// Checks a profile's own certificate and key; 0 or a load code.
int CheckCredentials(const std::string& paramsPath, const std::string& section) {
    const std::string& file = paramsPath;
    std::string certPath = zk::Profile::GetString(file, section, "Cert");
    std::string keyPath = zk::Profile::GetString(file, section, "Key");
    X509Ptr cert;
    if (!certPath.empty()) {
        cert = LoadCert(Resolve(paramsPath, certPath));
        if (!cert) return ZK_LOAD_CERT;
        std::string caPath = zk::Profile::GetString(file, section, "CACert");
        X509Ptr ca = caPath.empty() ? nullptr : LoadCert(Resolve(paramsPath, caPath));
        if (!caPath.empty() && !ca) return ZK_LOAD_CERT;
        EVP_PKEY* signer = ca ? X509_get0_pubkey(ca.get()) : X509_get0_pubkey(cert.get());
        bool selfIssued = X509_NAME_cmp(X509_get_subject_name(cert.get()), X509_get_issuer_name(cert.get())) == 0;
        if ((ca || selfIssued) && X509_verify(cert.get(), signer) != 1) return ZK_LOAD_CA_SIGNATURE;
    }
    if (!keyPath.empty()) {
        const std::string missing = "\x01";
        zk::SecretString pass(zk::Profile::GetString(file, section, "KeyPass", missing));
        if (pass.str() == missing) return ZK_LOAD_KEY_PASSWORD;
        PKeyPtr key = LoadKey(Resolve(paramsPath, keyPath), pass.str());
        if (!key) return ZK_LOAD_KEY;
        if (cert && EVP_PKEY_eq(key.get(), X509_get0_pubkey(cert.get())) != 1) return ZK_LOAD_KEY;
    }
    return ZK_LOAD_OK;
}

// Handle of the module that serves a library: a module named in the
// parameters, or this library itself (a new reference, which the host
// releases when it destroys the table).
void* OpenModule(const std::string& modulePath, int& code) {
    code = ZK_LOAD_OK;
    if (!modulePath.empty()) {
        void* h = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!h) {
            code = ZK_LOAD_LIBRARY;
            return nullptr;
        }
        if (!dlsym(h, kModuleEntry)) {
            dlclose(h);
            code = ZK_LOAD_EXPORTS;
            return nullptr;
        }
        return h;
    }
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&OpenModule), &info) || !info.dli_fname) return nullptr;
    return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
}

char* Dup(const CryptoLibInfo& e, const std::string& text) { return e.StrDup ? e.StrDup(text.c_str()) : nullptr; }

}  // namespace

int LoadCryptoLibs(Context& ctx, CryptoLibInfo* table, std::string& failedName) {
    const std::string& file = ctx.paramsPath;
    if (!zk::Profile::HasSection(file, "CryptoLibs")) return ZK_LOAD_NO_SECTION;
    auto entries = zk::Profile::GetSection(file, "CryptoLibs");

    for (const auto& [code, sectionValue] : entries) {
        if (ctx.libs.size() >= ZK_CRYPTO_LIB_COUNT) break;
        const std::string section = sectionValue.empty() ? code : sectionValue;
        failedName = code;
        std::string modulePath = Resolve(file, zk::Profile::GetString(file, section, "Module"));
        if (modulePath.empty() && !IsBuiltIn(code)) return ZK_LOAD_LIBRARY;
        int rc = 0;
        void* module = OpenModule(modulePath, rc);
        if (rc != 0) return rc;
        rc = CheckCredentials(file, section);
        if (rc != 0) {
            if (module) dlclose(module);
            return rc;
        }

        CryptoLib lib;
        lib.code = code.substr(0, 3);
        lib.section = section;
        lib.title = zk::Profile::GetString(file, section, "Title", code);
        lib.needsSenderCert = zk::Profile::GetInt(file, section, "SenderCertHeader", 0) != 0;
        const std::string caPath = zk::Profile::GetString(file, section, "CACert");
        if (!caPath.empty() && !(lib.caCert = LoadCert(Resolve(file, caPath)))) {
            if (module) dlclose(module);
            return ZK_LOAD_CERT;
        }

        CryptoLibInfo& e = table[ctx.libs.size()];
        zk::WriteTextField(e.Code, lib.code, zk::FieldEnd::MayFill);
        e.Title = Dup(e, lib.title);
        e.Profile = Dup(e, lib.code);
        e.ParamsSection = Dup(e, section);
        e.Module = module;
        e.NeedsSenderCert = lib.needsSenderCert ? 1 : 0;
        ctx.libs.push_back(std::move(lib));
    }
    failedName.clear();
    return ZK_LOAD_OK;
}

}  // namespace zkd
