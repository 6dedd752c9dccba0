// A page's subject description (GEN_CERTIF_REQUEST's Subject1/Subject2) read
// into the fixed subject record: nothing may crash, the identifier list never
// grows beyond its bound, and every entry and text field stays within its size.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <tinyxml2.h>

#include "commands/keys/CertRequestCommand.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    if (doc.Parse(text.c_str()) != tinyxml2::XML_SUCCESS) return 0;
    std::optional<zk::SubjectRecord> s = zk::ReadSubject(doc.RootElement());
    if (!s) return 0;
    if (s->oids.size() > zk::kMaxSubjectOids || s->record.ExtKeyUsageCount != static_cast<int32_t>(s->oids.size()))
        abort();
    for (const auto& oid : s->oids)
        if (oid.back() != '\0' || oid.front() == '\0') abort();
    if (s->record.CurrencyCode[sizeof s->record.CurrencyCode - 1] != '\0' || s->record.ExtKeyUsageOids) abort();
    return 0;
}
