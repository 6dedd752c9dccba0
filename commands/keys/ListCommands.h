// GET_CERT_FILES (the certificates found, through the filter and, with a
// password, only those whose key opens with it) and GET_SK_FILES (the key
// files that open with a password, each with its certificates).
#pragma once
#include <string>

#include <tinyxml2.h>

namespace zk {

bool GetCertFilesCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);
bool GetSkFilesCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);

}  // namespace zk
