// Staging of an update in the program folder and its installation at start-up.
//
// A run of the update leaves each new file beside its target as "<name>.~"
// and a copy of the (new) executable as "<executable>.~~~". The restart runs
// that copy, which moves the staged files into place (the executable
// included) and runs the real executable again, which finds nothing staged,
// deletes the copy and starts normally. A target that cannot be replaced is
// moved aside as "<name>.bak".
#pragma once
#include <string>

namespace zk::update {

struct ApplyResult {
    // Set when this process must not go on starting: the program to run in
    // its place (the executable, or the temporary copy that installs it).
    std::string next;
    bool mustEnd() const { return !next.empty(); }
};

// Installs the staged files of the program folder (start-up, before the
// configuration step and before any other thread). pending is set when some
// staged file could not be moved into place after three passes.
ApplyResult ApplyStagedUpdate(bool& pending);

// Whether a file name is one the staging leaves behind: its first ".~" is
// its end, or its first ".bak" (lower-cased) is its end.
bool IsStagingLeftover(const std::string& name);

// Deletes the staging leftovers of the program folder.
void DeleteStagingLeftovers();

// "<module path>.~~~", the temporary copy that installs an update.
std::string TemporaryCopyPath();

// Prepares the temporary copy from the staged executable "<module path>.~",
// or from the running executable when that is not staged; executable.
bool PrepareTemporaryCopy();

}  // namespace zk::update
