// The key commands: CHECK_CERT_KEY (find and open a certificate's key, and
// cache its password on request), CHANGE_KEY_PASS (re-encrypt a key file in
// place), GET_SUBJ_KEY_ID (the key identifiers of key-file bytes) and
// KEY_FOLDER (the folder the key search also looks in).
#pragma once
#include <string>

#include <tinyxml2.h>

namespace zk {

bool CheckCertKeyCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);
bool ChangeKeyPassCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);
bool GetSubjKeyIdCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);
bool KeyFolderCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);

}  // namespace zk
