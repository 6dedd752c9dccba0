// GET_CERT (the bytes of a listed certificate), GET_INFO_CERT (the detailed
// description of a listed certificate or of certificate bytes) and SAVE_CERT
// (certificates sent or fetched by address, stored in the "Cert" folder).
#pragma once
#include <string>

#include <tinyxml2.h>

namespace zk {

bool GetCertCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);
bool GetInfoCertCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);
bool SaveCertCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);

}  // namespace zk
