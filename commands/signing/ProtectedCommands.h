// Encryption and decryption of documents in their transport formats:
// ENCRYPT (for one or more recipients, on behalf of the located sender),
// GET_ORIGINAL (the plain document, signatures checked), GET_SIGNED (the
// still-signed document) and CLEAN (cached key associations and passwords
// dropped).
#pragma once
#include <string>

#include <tinyxml2.h>

namespace zk {

bool EncryptCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);
bool GetOriginalCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);
bool GetSignedCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);
bool CleanCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);

}  // namespace zk
