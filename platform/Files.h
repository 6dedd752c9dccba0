// File and folder operations shared by the modules.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zk::files {

bool Exists(const std::string& path);  // file or folder
bool IsFolder(const std::string& path);
// A folder itself, not a symbolic link to one.
bool IsRealFolder(const std::string& path);

// Creates the folder (and its parents); true when it exists afterwards.
bool CreateFolder(const std::string& path);

// Deletes every file in the folder (read-only ones too) and, recursively,
// every subfolder; the folder itself stays. Failures are skipped. Links are
// deleted, never followed; a folder that is itself a link is left alone.
void EmptyFolder(const std::string& path);
// Empties and removes the folder.
void RemoveFolder(const std::string& path);

// The whole file, or nothing when it cannot be opened or read. Files larger
// than maxBytes are refused.
std::optional<std::vector<uint8_t>> ReadAll(const std::string& path, uint64_t maxBytes = UINT64_MAX);
// The same file handed to take in pieces of at most 64 KiB, for a reader that
// needs only one pass (a digest): false when it cannot be opened or read
// whole (take may have had some pieces then).
bool ReadInPieces(const std::string& path, uint64_t maxBytes, const std::function<void(const uint8_t*, size_t)>& take);

// Writes a temporary file beside path, flushes it to disk and renames it over
// path: readers see the old content or the new one, never a part. A new file
// gets mode 0600 and a replaced one keeps its mode, unless mode is given.
// The temporary file stays unnamed while it is written where the file system
// allows it, so a process killed mid-write leaves nothing behind; otherwise it
// is named "<path>.~tmp<pid>_<thread>" (see IsAtomicTemporaryName).
bool WriteAtomically(const std::string& path, const void* data, size_t len, int mode = -1);

// Whether a file name is one of WriteAtomically's temporary names.
bool IsAtomicTemporaryName(const std::string& name);

// Whether DeleteFilesIn may reach the folder through a symbolic link.
enum class FolderLink { Refuse, Follow };

// Deletes the entries of folder that are not folders (regular files, and
// symbolic links themselves, never their targets) and whose names pass
// wanted; subfolders stay. Never follows a link inside the folder; with
// FolderLink::Refuse a folder that is itself a link is refused. False when
// the folder cannot be read or an entry not deleted; an entry already gone
// is no failure. A missing folder holds nothing: true.
bool DeleteFilesIn(const std::string& folder, const std::function<bool(const std::string& name)>& wanted,
                   FolderLink link = FolderLink::Refuse);

// Copies a file, replacing the target (through a temporary file); mode as
// for WriteAtomically.
bool CopyFile(const std::string& from, const std::string& to, int mode = -1);

// The permission bits of a file (links followed), or nothing when it is missing.
std::optional<int> FileMode(const std::string& path);

// What tells one version of a file from another without reading it: the
// file itself (device and inode), its size and its last change (content or
// status), to the nanosecond. Links followed.
struct FileVersion {
    uint64_t device = 0, inode = 0, size = 0;
    int64_t modified = 0, changed = 0;  // nanoseconds
    bool operator==(const FileVersion&) const = default;
};
std::optional<FileVersion> VersionOf(const std::string& path);

// "dir/name.ext" -> "name.ext"; lower-cases ASCII.
std::string BaseName(const std::string& path);
std::string LowerAscii(std::string text);

}  // namespace zk::files
