// The hardware key token commands: DONGLES_LIST (tokens, their keys and the
// certificates of those keys) and the management commands (initialise a slot,
// change or unblock PINs, label or delete a key, list, read and write the
// token's files). Each names the token by provider name and slot number as
// DONGLES_LIST reports them, calls the provider and answers with its code.
#pragma once
#include <string>

#include <tinyxml2.h>

namespace zk {

bool DonglesListCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);
bool DonglesInitCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);
bool DonglesChangePassCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                              std::string& answer);
bool DonglesUnlockCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                          std::string& answer);
bool DonglesKeySetLabelCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                               std::string& answer);
bool DonglesKeyDeleteCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                             std::string& answer);
bool DonglesFilesEnumCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                             std::string& answer);
bool DonglesFileGetCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                           std::string& answer);
bool DonglesFileSetCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                           std::string& answer);

}  // namespace zk
