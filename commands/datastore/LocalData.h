// The local data blob: one text a page keeps between visits, in
// "UserData.dat" of the "Data" folder.
#pragma once
#include <string>

#include <tinyxml2.h>

namespace zk {

// Path of the data file.
std::string UserDataPath();

bool SaveDataCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);
bool LoadDataCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer);

}  // namespace zk
