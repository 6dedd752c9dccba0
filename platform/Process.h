// Starting outside programs (the certificate tools, the desktop dialogs).
#pragma once
#include <optional>
#include <string>
#include <vector>

namespace zk::process {

// The program's path: a name with a "/" is taken as it is, otherwise it is
// looked up in PATH. Empty when not found or not executable.
std::string FindProgram(const std::string& name);

// Runs argv[0] with the arguments, standard input and output on /dev/null,
// and waits up to timeoutSeconds; a program still running then is killed.
// The exit status, or nothing when it could not start, was killed or timed out.
std::optional<int> Run(const std::vector<std::string>& argv, int timeoutSeconds);

// Starts a program and does not wait for it (it is reaped in the background).
bool Start(const std::vector<std::string>& argv);

}  // namespace zk::process
