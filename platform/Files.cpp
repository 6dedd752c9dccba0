#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace zk::files {

bool Exists(const std::string& path) {
    std::error_code ec;
    return !path.empty() && fs::exists(path, ec);
}

bool IsFolder(const std::string& path) {
    std::error_code ec;
    return !path.empty() && fs::is_directory(path, ec);
}

bool IsRealFolder(const std::string& path) {
    struct stat st;
    return !path.empty() && lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateFolder(const std::string& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
    return IsFolder(path);
}

namespace {

// Subfolders deeper than this are left (each level holds a descriptor).
constexpr int kMaxEmptyDepth = 32;

// Deletes every entry of the open folder; subfolders are emptied and removed.
// Works on the entries themselves: a link is removed, never followed, and a
// link swapped in for a subfolder meanwhile is not entered (O_NOFOLLOW).
void EmptyAt(int dirFd, int depth) {
    DIR* dir = fdopendir(dirFd);
    if (!dir) {
        close(dirFd);
        return;
    }
    std::vector<std::string> names;
    while (dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    for (const std::string& name : names) {
        struct stat st;
        if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!S_ISDIR(st.st_mode)) {
            unlinkat(dirFd, name.c_str(), 0);
            continue;
        }
        if (depth >= kMaxEmptyDepth) continue;
        int sub = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub < 0) continue;
        fchmod(sub, 0700);  // a read-only folder's entries can be deleted only so
        EmptyAt(sub, depth + 1);
        unlinkat(dirFd, name.c_str(), AT_REMOVEDIR);
    }
    closedir(dir);
}

}  // namespace

void EmptyFolder(const std::string& path) {
    // A link in place of the folder is not followed: its target is not ours to empty.
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) EmptyAt(fd, 0);
}

void RemoveFolder(const std::string& path) {
    EmptyFolder(path);
    rmdir(path.c_str());  // a link stays
}

namespace {

// A regular file opened for reading, with its size; -1 when it cannot be
// opened, is not a regular file or is larger than maxBytes. Non-blocking
// open: a FIFO or device named like a file must not hang the caller.
int OpenRegular(const std::string& path, uint64_t maxBytes, uint64_t& size) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > maxBytes) {
        close(fd);
        return -1;
    }
    size = static_cast<uint64_t>(st.st_size);
    return fd;
}

}  // namespace

std::optional<std::vector<uint8_t>> ReadAll(const std::string& path, uint64_t maxBytes) {
    uint64_t size = 0;
    const int fd = OpenRegular(path, maxBytes, size);
    if (fd < 0) return std::nullopt;
    std::vector<uint8_t> data(static_cast<size_t>(size));
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = read(fd, data.data() + done, data.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    close(fd);
    if (done != data.size()) return std::nullopt;
    return data;
}

bool ReadInPieces(const std::string& path, uint64_t maxBytes, const std::function<void(const uint8_t*, size_t)>& take) {
    uint64_t size = 0;
    const int fd = OpenRegular(path, maxBytes, size);
    if (fd < 0) return false;
    std::vector<uint8_t> piece(64 << 10);
    uint64_t done = 0;
    while (done < size) {
        const ssize_t n = read(fd, piece.data(), static_cast<size_t>(std::min<uint64_t>(piece.size(), size - done)));
        if (n <= 0) break;
        take(piece.data(), static_cast<size_t>(n));
        done += static_cast<uint64_t>(n);
    }
    close(fd);
    return done == size;
}

namespace {

constexpr const char* kTemporaryMark = ".~tmp";

bool WriteAll(int fd, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, p + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Content, mode and a flush to disk: the file is complete before it gets a name.
bool FillTemporary(int fd, const std::string& path, const void* data, size_t len, int mode) {
    bool ok = WriteAll(fd, data, len) && fsync(fd) == 0;
    // A file system without modes (FAT on a USB stick) refuses fchmod: no failure.
    struct stat st;
    if (ok && mode >= 0)
        fchmod(fd, static_cast<mode_t>(mode));
    else if (ok && stat(path.c_str(), &st) == 0)
        fchmod(fd, st.st_mode & 07777);
    return ok;
}

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// An unnamed file in the target's folder, named tmp once complete. False
// (nothing left behind) when the file system has no unnamed files or the
// write fails; written tells whether the write itself was tried.
bool WriteUnnamed(const std::string& path, const std::string& tmp, const void* data, size_t len, int mode,
                  bool& written) {
    written = false;
    int fd = open(FolderOf(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    written = true;
    bool ok = FillTemporary(fd, path, data, len, mode);
    if (ok) {
        // The name only now: a kill before this line leaves no file at all.
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        unlink(tmp.c_str());
        ok = linkat(AT_FDCWD, self.c_str(), AT_FDCWD, tmp.c_str(), AT_SYMLINK_FOLLOW) == 0;
        if (!ok) written = false;  // no /proc: the named way still works
    }
    return close(fd) == 0 && ok;
}

bool WriteNamed(const std::string& path, const std::string& tmp, const void* data, size_t len, int mode) {
    unlink(tmp.c_str());  // ours, from an earlier thread of that number
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = FillTemporary(fd, path, data, len, mode);
    return close(fd) == 0 && ok;
}

}  // namespace

bool WriteAtomically(const std::string& path, const void* data, size_t len, int mode) {
    const std::string tmp = path + kTemporaryMark + std::to_string(getpid()) + "_" + std::to_string(gettid());
    bool tried = false;
    bool ok = WriteUnnamed(path, tmp, data, len, mode, tried);
    if (!ok && !tried) ok = WriteNamed(path, tmp, data, len, mode);
    if (ok && rename(tmp.c_str(), path.c_str()) == 0) return true;
    unlink(tmp.c_str());
    return false;
}

// "<anything>.~tmp<digits>_<digits>": the pattern WriteAtomically names its files with.
bool IsAtomicTemporaryName(const std::string& name) {
    const size_t mark = name.rfind(kTemporaryMark);
    if (mark == std::string::npos || mark == 0) return false;
    const std::string tail = name.substr(mark + std::char_traits<char>::length(kTemporaryMark));
    const size_t underscore = tail.find('_');
    auto digits = [](const std::string& t) {
        return !t.empty() && t.find_first_not_of("0123456789") == std::string::npos;
    };
    return underscore != std::string::npos && digits(tail.substr(0, underscore)) && digits(tail.substr(underscore + 1));
}

bool DeleteFilesIn(const std::string& folder, const std::function<bool(const std::string& name)>& wanted,
                   FolderLink link) {
    int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (link == FolderLink::Refuse ? O_NOFOLLOW : 0);
    int dirFd = open(folder.c_str(), flags);
    if (dirFd < 0) return errno == ENOENT;
    DIR* dir = fdopendir(dirFd);
    if (!dir) {
        close(dirFd);
        return false;
    }
    bool ok = true;
    errno = 0;
    // Entries are looked at and deleted relative to the folder's descriptor,
    // so a link put in place of the folder meanwhile changes nothing.
    while (dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            ok = ok && errno == ENOENT;
        } else if (!S_ISDIR(st.st_mode) && wanted(name)) {
            if (unlinkat(dirFd, name.c_str(), 0) != 0 && errno != ENOENT) ok = false;
        }
        errno = 0;
    }
    if (errno != 0) ok = false;  // the listing itself failed
    closedir(dir);
    return ok;
}

bool CopyFile(const std::string& from, const std::string& to, int mode) {
    auto data = ReadAll(from);
    return data && WriteAtomically(to, data->data(), data->size(), mode);
}

std::optional<int> FileMode(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return std::nullopt;
    return static_cast<int>(st.st_mode & 07777);
}

std::optional<FileVersion> VersionOf(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return std::nullopt;
    auto nanos = [](const timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; };
    return FileVersion{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                       static_cast<uint64_t>(st.st_size), nanos(st.st_mtim), nanos(st.st_ctim)};
}

std::string BaseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string LowerAscii(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace zk::files
