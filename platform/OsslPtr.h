// OpenSSL objects owned by unique_ptr: one deleter template for every free
// function, and the owners used across the provider and the tools.
#pragma once
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

namespace zk {

template <auto Free>
struct OsslFree {
    template <class T>
    void operator()(T* p) const { Free(p); }
};

using X509Ptr = std::unique_ptr<X509, OsslFree<X509_free>>;
using PKeyPtr = std::unique_ptr<EVP_PKEY, OsslFree<EVP_PKEY_free>>;

}  // namespace zk
