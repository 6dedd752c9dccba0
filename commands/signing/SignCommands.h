// SET_SIGN (a signature with the content attached) and SET_EXTERNAL_SIGN (a
// detached signature): the signer block, the signer location and one signing
// call of the provider.
#pragma once
#include <string>

#include <tinyxml2.h>

namespace zk {

bool SetSignCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);
bool SetExternalSignCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);

}  // namespace zk
