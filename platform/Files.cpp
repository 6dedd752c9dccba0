#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <system_error>

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

bool CreateFolder(const std::string& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
    return IsFolder(path);
}

void EmptyFolder(const std::string& path) {
    std::error_code ec;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code ignored;
        // Owner write permission first, so that read-only entries go too.
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
            fs::remove_all(it->path(), ignored);
        else
            fs::remove(it->path(), ignored);
    }
}

void RemoveFolder(const std::string& path) {
    EmptyFolder(path);
    std::error_code ec;
    fs::remove(path, ec);
}

std::optional<std::vector<uint8_t>> ReadAll(const std::string& path, uint64_t maxBytes) {
    // Non-blocking open: a FIFO or device named like a file must not hang
    // the caller; only regular files are read.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > maxBytes) {
        close(fd);
        return std::nullopt;
    }
    std::vector<uint8_t> data(static_cast<size_t>(st.st_size));
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

bool WriteAtomically(const std::string& path, const void* data, size_t len, int mode) {
    std::string tmp = path + ".~tmp" + std::to_string(getpid()) + "_" + std::to_string(gettid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, p + done, len - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    bool ok = done == len && fsync(fd) == 0;
    struct stat st;
    if (ok && mode >= 0)
        fchmod(fd, static_cast<mode_t>(mode));
    else if (ok && stat(path.c_str(), &st) == 0)
        fchmod(fd, st.st_mode & 07777);
    ok = close(fd) == 0 && ok;
    if (ok && rename(tmp.c_str(), path.c_str()) == 0) return true;
    unlink(tmp.c_str());
    return false;
}

bool CopyFile(const std::string& from, const std::string& to) {
    auto data = ReadAll(from);
    return data && WriteAtomically(to, data->data(), data->size());
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
