// GEN_CERTIF_REQUEST: new keys and their certificate requests from subject
// descriptions, the keys in a container returned to the page or generated on
// a hardware key token.
#pragma once
#include <array>
#include <optional>
#include <string>
#include <vector>

#include <tinyxml2.h>

#include "provider/ZelkorD.h"

namespace zk {

// Most extended key usage identifiers a subject may list.
constexpr size_t kMaxSubjectOids = 100;

// A subject record and the storage its identifier list points into.
struct SubjectRecord {
    CertRequestSubject record;
    std::vector<std::array<char, ZK_NAME_SIZE>> oids;  // entries of ZK_NAME_SIZE bytes, as the record's list
};

// Reads a subject description (the children of element, names without regard
// to case, the later one winning, OID entries of ExtKeyUsageExt accumulating
// in document order, empty ones skipped). Nothing when it lists more than
// kMaxSubjectOids identifiers or one longer than an entry holds.
std::optional<SubjectRecord> ReadSubject(const tinyxml2::XMLElement* element);

bool GenCertifRequestCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                             std::string& answer);

}  // namespace zk
