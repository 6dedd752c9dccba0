#include "platform/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace zk {
namespace {

// A private folder of ours: refuse one that someone else owns or others can
// write, or a link (another user could have made it first to take over or
// block our lock).
bool PrivateFolder(const std::string& path, std::string* why) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        if (why) *why = "Неможливо створити теку блокування " + path + ": " + strerror(errno);
        return false;
    }
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() && (st.st_mode & 022) == 0)
        return true;
    if (why)
        *why = "Тека блокування " + path +
               " не належить цьому користувачеві або доступна іншим для запису; видаліть її або задайте "
               "XDG_RUNTIME_DIR";
    return false;
}

}  // namespace

std::string SingleInstance::LockFolder(std::string* why, const std::string& tmp) {
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) return runtime;
    std::string folder = tmp + "/ZelkorH-" + std::to_string(getuid());
    return PrivateFolder(folder, why) ? folder : std::string();
}

SingleInstance::SingleInstance(const std::string& name, Wait wait, std::chrono::milliseconds bound) {
    std::string folder = LockFolder(&failure_);
    if (folder.empty()) return;
    const std::string path = folder + "/" + name + ".lock";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        failure_ = "Неможливо відкрити файл блокування " + path + ": " + strerror(errno);
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + bound;
    int rc;
    for (;;) {
        rc = flock(fd, LOCK_EX | (wait == Wait::Forever ? 0 : LOCK_NB));
        if (rc == 0) break;
        if (errno == EINTR) continue;
        // Held by another process: a bounded wait looks again a little later.
        if (errno != EWOULDBLOCK || wait != Wait::Bounded || std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (rc != 0) {
        if (errno != EWOULDBLOCK) failure_ = "Неможливо заблокувати файл " + path + ": " + strerror(errno);
        close(fd);
        return;
    }
    fd_ = fd;
}

SingleInstance::~SingleInstance() { Release(); }

void SingleInstance::Release() {
    if (fd_ < 0) return;
    close(fd_);  // closing drops the lock
    fd_ = -1;
}

}  // namespace zk
