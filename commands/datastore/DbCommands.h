// DB_COMMAND and DB_DROP: SQL over the local databases of the "Data" folder,
// answered with an envelope of their own.
#pragma once
#include <optional>
#include <string>

#include <tinyxml2.h>

namespace zk {

// The database name of a Base parameter (Base64 of UTF-8): non-empty ASCII
// letters and digits only, lower-cased; nothing when it breaks the rule.
std::optional<std::string> DatabaseName(const std::string& base64);

bool DbCommandCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);
bool DbDropCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);

}  // namespace zk
