// The small crypto commands: random bytes, symmetric encryption with a key the
// page supplies, and the check of a detached signature.
#pragma once
#include <string>

#include <tinyxml2.h>

namespace zk {

bool GetRandomCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);
bool SymmetricCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);
bool CheckExternalSignCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);

}  // namespace zk
