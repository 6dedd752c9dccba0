// The command handler contract: the command's name (from its table row), the
// Params element and the Data text (each may be absent), the printed answer
// envelope out. A false result means "no
// answer of my own": the front end then sends the bare envelope with code 56.
#pragma once
#include <string>

#include <tinyxml2.h>

namespace zk {

using CommandHandler = bool (*)(const char* command, const tinyxml2::XMLElement* params, const char* data,
                                std::string& answer);

}  // namespace zk
