#include "discovery/FolderScan.h"

#include <filesystem>
#include <system_error>

#include "base/Log.h"
#include "base/ServiceFolders.h"
#include "platform/Text.h"

namespace fs = std::filesystem;

namespace zk {
namespace {

std::string WithoutTrailingSlash(const std::string& root) {
    if (root.size() > 1 && root.back() == '/') return root.substr(0, root.size() - 1);
    return root;
}

// Calls onEntry for each entry of folder until it returns false; false when
// the folder cannot be listed.
bool ForEachEntry(const std::string& folder, const std::function<bool(const fs::directory_entry&)>& onEntry) {
    std::error_code ec;
    fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    if (ec) return false;
    for (fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec || !onEntry(*it)) break;
    }
    return true;
}

bool IsRegularFile(const fs::directory_entry& entry) {
    std::error_code ec;
    return entry.is_regular_file(ec);
}

bool Skipped(const std::string& folder, const char* logFunction, const char* logSource) {
    if (!IsServiceFolder(folder)) return false;
    log::Write(logFunction, logSource, __LINE__, "Skipped: '%s' (a folder of the service's own)", folder.c_str());
    return true;
}

}  // namespace

bool HasExtension(const std::string& name, const Extensions& exts) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos) return false;
    std::string_view ext = std::string_view(name).substr(dot);
    for (std::string_view e : exts)
        if (EqualNoCase(ext, e)) return true;
    return false;
}

bool ScanFolder(const std::string& root, unsigned level, const char* logFunction, const char* logSource,
                const Extensions& exts, const std::function<bool(const std::string& path)>& onFile) {
    log::Write(logFunction, logSource, __LINE__, "Root: '%s', Level: '%u'", root.c_str(), level);
    if (level > kMaxScanLevel || root.empty()) return true;
    const std::string folder = WithoutTrailingSlash(root);
    if (Skipped(folder, logFunction, logSource)) return true;
    const std::string prefix = folder == "/" ? "" : folder;
    bool goOn = true;
    ForEachEntry(folder, [&](const fs::directory_entry& entry) {
        if (!goOn) return false;
        std::string name = entry.path().filename().string();
        std::string path = prefix + "/" + name;
        std::error_code ec;
        if (entry.is_directory(ec))
            goOn = ScanFolder(path, level + 1, logFunction, logSource, exts, onFile);
        else if (HasExtension(name, exts) && IsRegularFile(entry))
            goOn = onFile(path);
        return goOn;
    });
    return goOn;
}

void AppendScannedFolders(const std::string& root, size_t limit, std::vector<std::string>& out) {
    if (root.empty()) return;
    // Level by level, so that the roots and their nearest folders come first.
    std::vector<std::string> level{WithoutTrailingSlash(root)};
    for (unsigned depth = 0; depth <= kMaxScanLevel && !level.empty(); ++depth) {
        std::vector<std::string> next;
        for (const std::string& folder : level) {
            if (out.size() >= limit) return;
            out.push_back(folder);
            if (depth == kMaxScanLevel) continue;
            ForEachEntry(folder, [&](const fs::directory_entry& entry) {
                std::error_code ec;
                if (entry.is_directory(ec)) next.push_back(entry.path().string());
                return next.size() < limit;
            });
        }
        level = std::move(next);
    }
}

std::optional<std::vector<std::string>> ListFiles(const std::string& folder, const Extensions& exts) {
    std::vector<std::string> files;
    const std::string dir = WithoutTrailingSlash(folder);
    if (Skipped(dir, "ListFiles", __FILE__)) return std::nullopt;
    bool listed = ForEachEntry(dir, [&](const fs::directory_entry& entry) {
        std::string name = entry.path().filename().string();
        if (HasExtension(name, exts) && IsRegularFile(entry)) files.push_back(entry.path().string());
        return true;
    });
    if (!listed) return std::nullopt;
    return files;
}

bool AcceptableKeyFolder(const std::string& path) {
    if (path.empty() || path[0] != '/') return false;
    std::error_code ec;
    if (!fs::is_directory(path, ec)) return false;
    fs::directory_iterator listing(path, ec);  // opening it is listing it
    return !ec && !IsServiceFolder(path);
}

}  // namespace zk
