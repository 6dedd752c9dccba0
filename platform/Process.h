// Starting outside programs (the certificate tools, the desktop dialogs).
#pragma once
#include <atomic>
#include <optional>
#include <string>
#include <utility>
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

// Runs argv[0] with standard input on /dev/null and its standard output
// captured (at most maxOutput bytes kept), until it ends, or until cancel
// becomes true (then it is killed). The exit status and the output, or
// nothing when it could not start, was killed or was cancelled.
struct Captured {
    int exitCode = 0;
    std::string output;
};
std::optional<Captured> RunCaptured(const std::vector<std::string>& argv, const std::atomic<bool>* cancel,
                                    size_t maxOutput = 64 * 1024);

// Replaces the running program by argv[0] in the same process (its id, and
// so its place under a service manager, stays), with the variables of env
// added to the environment. Every descriptor above standard error is closed
// on the way. Returns only when that failed.
void ReplaceProcess(const std::vector<std::string>& argv,
                    const std::vector<std::pair<std::string, std::string>>& env);

}  // namespace zk::process
