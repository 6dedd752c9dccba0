// Service commands: the version (registering OCSP servers on the way), the
// update questions a page may ask, the key folder choice of the tray menu,
// the page-load notice and the exchange with
// a hosting process (there is none: the service is a process of its own).
#pragma once
#include <string>

#include <tinyxml2.h>

namespace zk {

bool GetVersionCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);
bool GetUpdateInfoCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);
bool DoUpdateCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);
bool OnLoadCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);
bool SelectKeyFolderCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);
bool ParentExchangeCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);

}  // namespace zk
