#include "zelkord/ParsedCerts.h"

#include <openssl/x509v3.h>

#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace zkd {
namespace {

struct Entry {
    std::string der;  // the input bytes, the key of the entry
    X509Ptr cert;
};

struct Cache {
    std::mutex lock;
    std::list<Entry> entries;  // most recently used first
    std::unordered_map<std::string_view, std::list<Entry>::iterator> index;  // views into entries' der
};

Cache& TheCache() {
    static Cache* cache = new Cache;  // never destroyed: the library may end after its statics
    return *cache;
}

X509Ptr Reference(X509* cert) {
    X509_up_ref(cert);
    return X509Ptr(cert);
}

}  // namespace

X509Ptr FindParsedCert(const uint8_t* data, size_t len) {
    if (!data || len == 0 || len > kParsedCertMaxBytes) return nullptr;
    Cache& c = TheCache();
    std::lock_guard<std::mutex> hold(c.lock);
    auto it = c.index.find(std::string_view(reinterpret_cast<const char*>(data), len));
    if (it == c.index.end()) return nullptr;
    c.entries.splice(c.entries.begin(), c.entries, it->second);
    return Reference(it->second->cert.get());
}

void KeepParsedCert(const uint8_t* data, size_t len, X509* cert) {
    if (!data || !cert || len == 0 || len > kParsedCertMaxBytes) return;
    // Computes the extension data now, while only this thread holds the
    // object; afterwards every use of it only reads.
    X509_check_purpose(cert, -1, 0);
    Entry fresh{std::string(reinterpret_cast<const char*>(data), len), Reference(cert)};
    X509Ptr dropped;  // freed after the lock is let go
    Cache& c = TheCache();
    std::lock_guard<std::mutex> hold(c.lock);
    if (c.index.count(fresh.der)) return;  // another thread was first
    if (c.entries.size() >= kParsedCertsKept) {
        c.index.erase(c.entries.back().der);
        dropped = std::move(c.entries.back().cert);
        c.entries.pop_back();
    }
    c.entries.push_front(std::move(fresh));
    c.index.emplace(c.entries.front().der, c.entries.begin());
}

void ForgetParsedCerts() {
    std::list<Entry> gone;
    Cache& c = TheCache();
    std::lock_guard<std::mutex> hold(c.lock);
    c.index.clear();
    gone.swap(c.entries);
}

}  // namespace zkd
