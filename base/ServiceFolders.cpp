#include "base/ServiceFolders.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "base/Settings.h"
#include "platform/ModulePath.h"

namespace fs = std::filesystem;

namespace zk {
namespace {

constexpr const char* kWorkingFolders[] = {"Data", "View", "TEMP", "CertStorage", "Updates"};

// A folder as it is, or as it will be once made: the canonical path of what
// exists of it, with the rest appended.
fs::path Canonical(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::weakly_canonical(path, ec);
    return ec ? fs::path(path).lexically_normal() : p;
}

bool Within(const fs::path& path, const fs::path& folder) {
    auto [f, p] = std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
    return f == folder.end();
}

}  // namespace

bool IsServiceFolder(const std::string& path) {
    std::error_code ec;
    const fs::path resolved = fs::canonical(path, ec);
    if (ec || path.empty()) return false;
    if (resolved == Canonical(ProgramFolder())) return true;
    for (const char* name : kWorkingFolders)
        if (Within(resolved, Canonical(WorkFolder(name)))) return true;
    return false;
}

}  // namespace zk
