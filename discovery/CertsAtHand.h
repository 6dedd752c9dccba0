// The certificates the service can see, offered to the provider's searches
// for a certificate that an operation names but does not carry (an OCSP
// response's issuer or responder, a timestamp service): the certificates
// that came with the request this thread serves (a scope its command opens),
// the records of the certificate list that the search names by key
// identifier or serial number, and the certificate files of CertStorage (the
// program folder's certificates and the copies the scans made). Each goes to
// the provider as its bytes; the provider checks what it gets, and finding a
// certificate is no trust decision.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "provider/Operations.h"
#include "provider/ZelkorD.h"

namespace zk {

// Files read for one search (each at most kMaxOfferedFile bytes).
constexpr size_t kMaxOfferedFiles = 256;
constexpr uint64_t kMaxOfferedFile = 1 << 20;

// Certificates that came with the request (a container's, say), offered on
// this thread while the scope lives, before anything else. The bytes must
// outlive the scope; scopes nest.
class RequestCertsScope {
public:
    explicit RequestCertsScope(std::vector<provider::ByteView> certs);
    ~RequestCertsScope();
    RequestCertsScope(const RequestCertsScope&) = delete;
    RequestCertsScope& operator=(const RequestCertsScope&) = delete;

    const std::vector<provider::ByteView>& certs() const { return certs_; }
    const RequestCertsScope* outer() const { return outer_; }

private:
    std::vector<provider::ByteView> certs_;
    RequestCertsScope* outer_;
};

// Whether a certificate record's Serial (key) or SN (serial number) is the
// text a search names: letter case and a serial number's leading zeros aside.
bool RecordNamed(int32_t key, std::string_view recordField, std::string_view text);

// Hands ProviderCertSource to the provider.
void OfferCertsToProvider();

// The source the provider asks (a C callback: nothing escapes it).
extern "C" void ProviderCertSource(int32_t key, const char* text, ZKCertPut put, void* sink);

}  // namespace zk
