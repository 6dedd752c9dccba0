// The module path (the running executable) and the program folder beside it.
#pragma once
#include <string>

namespace zk {

// Full path of the running executable (from /proc/self/exe).
const std::string& ModulePath();

// The folder that holds the executable, without a trailing "/".
const std::string& ProgramFolder();

// The module path with its extension replaced by ext (".ini", ".my"); a module
// path without an extension gets ext appended.
std::string ModulePathWithExtension(const std::string& ext);

// A path in the program folder.
std::string ProgramFile(const std::string& name);

// Tests that link the service code into their own binary point these at a
// temporary program folder.
void SetModulePathForTesting(const std::string& path);

}  // namespace zk
