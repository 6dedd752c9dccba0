// Walking the folders of the certificate and key scans: a root and two levels
// of subfolders below it, files picked by extension.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zk {

// Deepest level scanned: the root is level 0.
constexpr unsigned kMaxScanLevel = 2;

// Largest certificate or key file read by the scans.
constexpr uint64_t kMaxScannedFile = 10u << 20;

using Extensions = std::vector<std::string_view>;  // lower case, with the dot

// True when the name's extension is one of exts, ignoring case.
bool HasExtension(const std::string& name, const Extensions& exts);

// Logs "Root: '%s', Level: '%u'" under the given function and source names,
// then, unless the level is above kMaxScanLevel or the root is empty, walks
// the root (one trailing slash removed) in file-system order: subfolders are
// walked at level + 1, regular files with a wanted extension go to onFile
// with their full path; onFile returns false to end the whole walk (then so
// does ScanFolder). Unreadable folders yield nothing; symbolic links are
// followed, and the level bound ends any loop they form. The service's own
// folders (base/ServiceFolders.h) yield nothing, wherever they are met.
bool ScanFolder(const std::string& root, unsigned level, const char* logFunction, const char* logSource,
                const Extensions& exts, const std::function<bool(const std::string& path)>& onFile);

// The folders a scan of root walks: root and its subfolders down to
// kMaxScanLevel, appended to out until it holds limit folders.
void AppendScannedFolders(const std::string& root, size_t limit, std::vector<std::string>& out);

// The regular files of one folder with a wanted extension, in file-system
// order; nothing when the folder cannot be listed or is one of the
// service's own.
std::optional<std::vector<std::string>> ListFiles(const std::string& folder, const Extensions& exts);

// Whether a path may become a folder of the searches (KEY_FOLDER, the folder
// choice): an absolute path of an existing folder that the user can list,
// none of the service's own folders. Every refusal looks the same.
bool AcceptableKeyFolder(const std::string& path);

}  // namespace zk
