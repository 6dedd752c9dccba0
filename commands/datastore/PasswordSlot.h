// The password slot: one text a page saves for the lifetime of the running
// service, kept in memory only and wiped when cleaned or replaced. It serves
// only the origin that saved it: RETRIEVE_PASSWORD from another origin finds
// nothing saved, and CLEAN_PASSWORD from another origin leaves it.
#pragma once
#include <string>

#include <tinyxml2.h>

namespace zk {

bool SavePasswordCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);
bool RetrievePasswordCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);
bool CleanPasswordCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);

}  // namespace zk
