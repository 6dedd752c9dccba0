#include "discovery/CertsAtHand.h"

#include <string>

#include "base/Log.h"
#include "discovery/CertListFunc.h"
#include "discovery/CertStorage.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace zk {
namespace {

thread_local RequestCertsScope* t_scope = nullptr;

std::string_view WithoutLeadingZeros(std::string_view hex) {
    while (hex.size() > 1 && hex.front() == '0') hex.remove_prefix(1);
    return hex;
}

// Hands candidates to the provider until it has enough.
class Offer {
public:
    Offer(ZKCertPut put, void* sink) : put_(put), sink_(sink) {}
    bool done() const { return done_; }
    size_t count() const { return count_; }
    void Bytes(provider::ByteView bytes) {
        if (done_ || bytes.empty() || bytes.size() > kMaxOfferedFile) return;
        ++count_;
        done_ = put_(sink_, bytes.data(), static_cast<uint32_t>(bytes.size())) != 0;
    }
    void File(const std::string& path) {
        if (done_ || ++files_ > kMaxOfferedFiles) return;
        if (auto data = files::ReadAll(path, kMaxOfferedFile)) Bytes(*data);
    }

private:
    ZKCertPut put_;
    void* sink_;
    size_t files_ = 0;
    size_t count_ = 0;
    bool done_ = false;
};

// The certificate files of the list's records that the search names; the
// list is built first when it is not.
std::vector<std::string> NamedRecordFiles(int32_t key, std::string_view text) {
    std::vector<std::string> paths;
    auto collect = [&](const CertList& list) {
        for (const CertRecord& r : list)
            if (RecordNamed(key, key == ZK_CERT_BY_SERIAL ? r.SN : r.Serial, text)) paths.push_back(r.path);
    };
    bool built = false;
    WithProcessCertList([&](CertList& list, bool& isBuilt) {
        built = isBuilt;
        if (built) collect(list);
    });
    if (!built) {
        CertList list;
        CertListGet(list);
        collect(list);
    }
    return paths;
}

}  // namespace

RequestCertsScope::RequestCertsScope(std::vector<provider::ByteView> certs)
    : certs_(std::move(certs)), outer_(t_scope) {
    t_scope = this;
}

RequestCertsScope::~RequestCertsScope() { t_scope = outer_; }

bool RecordNamed(int32_t key, std::string_view recordField, std::string_view text) {
    if (recordField.empty() || text.empty()) return false;
    if (key == ZK_CERT_BY_SERIAL) return EqualNoCase(WithoutLeadingZeros(recordField), WithoutLeadingZeros(text));
    return key == ZK_CERT_BY_KEY_ID && EqualNoCase(recordField, text);
}

void OfferCertsToProvider() { provider::SetCertSource(&ProviderCertSource); }

extern "C" void ProviderCertSource(int32_t key, const char* text, ZKCertPut put, void* sink) {
    if (!text || !put) return;
    try {
        Offer offer(put, sink);
        for (const RequestCertsScope* s = t_scope; s && !offer.done(); s = s->outer())
            for (const provider::ByteView& cert : s->certs()) offer.Bytes(cert);
        if (!offer.done())
            for (const std::string& path : NamedRecordFiles(key, text)) offer.File(path);
        if (!offer.done())
            for (const std::string& path : StoredCertFiles(kMaxOfferedFiles)) offer.File(path);
        ZLOG("ProviderCertSource", "Certificate %s '%s': %u candidate(s) offered",
             key == ZK_CERT_BY_SERIAL ? "with serial number" : "with key identifier", text,
             static_cast<unsigned>(offer.count()));
    } catch (...) {
        ZLOG("ProviderCertSource", "The search for certificates stopped (out of memory)");
    }
}

}  // namespace zk
