#include "update/StagedUpdate.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "base/Settings.h"
#include "platform/Files.h"
#include "platform/ModulePath.h"

namespace zk::update {
namespace {

constexpr const char* kStaged = ".~";
constexpr const char* kCopy = ".~~~";
constexpr int kTries = 10;
constexpr int kPasses = 3;

void Pause() { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }

// The regular files of the program folder (links and folders left out).
std::vector<std::string> ProgramFiles() {
    std::vector<std::string> names;
    DIR* dir = opendir(ProgramFolder().c_str());
    if (!dir) return names;
    while (dirent* e = readdir(dir)) {
        struct stat st;
        const std::string name = e->d_name;
        if (lstat(ProgramFile(name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) names.push_back(name);
    }
    closedir(dir);
    return names;
}

// The name a staged file replaces, or empty when it is not a staged file.
std::string StagedTarget(const std::string& name) {
    const size_t mark = name.find(kStaged);
    if (mark == std::string::npos || mark == 0 || mark + 2 != name.size()) return {};
    if (files::LowerAscii(name) == "digest.txt.~") return {};  // installed last, see below
    return name.substr(0, mark);
}

// Moves from over to; a copy (keeping from's mode) where the move fails,
// after which from goes, so that the next start does not install it again.
bool MoveOver(const std::string& from, const std::string& to) {
    if (rename(from.c_str(), to.c_str()) == 0) return true;
    if (files::CopyFile(from, to, files::FileMode(from).value_or(-1))) {
        unlink(from.c_str());
        return true;
    }
    return false;
}

bool Install(const std::string& staged, const std::string& target) {
    for (int attempt = 0; attempt < kTries; ++attempt) {
        if (MoveOver(staged, target)) return true;
        Pause();
        rename(target.c_str(), (target + ".bak").c_str());  // out of the way, replacing an older one
    }
    return false;
}

}  // namespace

bool IsStagingLeftover(const std::string& name) {
    const std::string lower = files::LowerAscii(name);
    for (const std::string ending : {".~", ".bak"}) {
        const size_t at = lower.find(ending);
        if (at != std::string::npos && at > 0 && at + ending.size() == lower.size()) return true;
    }
    return false;
}

void DeleteStagingLeftovers() {
    files::DeleteFilesIn(ProgramFolder(), IsStagingLeftover);
}

std::string TemporaryCopyPath() { return ModulePath() + kCopy; }

bool PrepareTemporaryCopy() {
    const std::string copy = TemporaryCopyPath();
    for (const std::string& from : {ModulePath() + kStaged, ModulePath()}) {
        if (!files::Exists(from)) continue;
        if (files::CopyFile(from, copy, 0700)) return true;
    }
    return false;
}

ApplyResult ApplyStagedUpdate(bool& pending) {
    const std::string module = ModulePath();
    const std::string self = files::BaseName(module);
    bool failed = false;
    bool replaced = false;
    bool selfStaged = false;
    for (int pass = 0; pass < kPasses && (pass == 0 || failed); ++pass) {
        pending = false;
        failed = false;
        for (const std::string& name : ProgramFiles()) {
            const std::string target = StagedTarget(name);
            if (target.empty()) continue;
            if (target == self) {
                selfStaged = true;  // a running executable is replaced by the temporary copy
                continue;
            }
            if (Install(ProgramFile(name), ProgramFile(target))) {
                replaced = true;
            } else {
                pending = true;
                failed = true;
            }
        }
    }
    const std::string stagedList = ProgramFile("digest.txt.~");
    if (!failed && files::Exists(stagedList) && MoveOver(stagedList, ProgramFile("digest.txt"))) replaced = true;

    const size_t copyMark = module.find(kCopy);
    if (replaced || copyMark != std::string::npos || selfStaged) {
        ApplyResult result;
        if (selfStaged) {
            result.next = TemporaryCopyPath();
            if (!PrepareTemporaryCopy()) result.next.clear();
        } else {
            result.next = copyMark == std::string::npos ? module : module.substr(0, copyMark);
        }
        if (!result.next.empty()) return result;
    }

    // Nothing (more) to install: the temporary copy and the download folder go.
    const std::string copy = TemporaryCopyPath();
    for (int attempt = 0; attempt < kTries && files::Exists(copy); ++attempt) {
        if (unlink(copy.c_str()) == 0) break;
        Pause();
    }
    files::RemoveFolder(WorkFolder("Updates"));
    if (!failed) DeleteStagingLeftovers();
    return {};
}

}  // namespace zk::update
