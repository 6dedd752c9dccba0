// Process-wide protections and limits set once at start-up: new files are
// private to the user, the process leaves no core dump (it holds key
// passwords, keys and protected rows), and it may open as many files as the
// system lets it.
#pragma once
#include <cstdint>

namespace zk::process {

// umask 077 and no core dumps (the process also becomes non-dumpable for
// ptrace by other processes of the same user that lack the capability).
void ProtectProcess();

// Raises the soft limit of open files to the hard limit; returns the limit
// now in force.
uint64_t RaiseOpenFileLimit();

// Ends the process at once with exitCode after flushing standard streams:
// for a shutdown that must not wait for threads still running.
[[noreturn]] void EndNow(int exitCode);

}  // namespace zk::process
