#include "platform/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace zk {
namespace {

// A private folder of ours: refuse one that someone else owns or others can write.
bool PrivateFolder(const std::string& path) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
           (st.st_mode & 022) == 0;
}

}  // namespace

std::string SingleInstance::LockFolder() {
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) return runtime;
    std::string tmp = "/tmp/ZelkorH-" + std::to_string(getuid());
    return PrivateFolder(tmp) ? tmp : std::string();
}

SingleInstance::SingleInstance(const std::string& name, Wait wait) {
    std::string folder = LockFolder();
    if (folder.empty()) return;
    int fd = open((folder + "/" + name + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return;
    int rc;
    do {
        rc = flock(fd, LOCK_EX | (wait == Wait::No ? LOCK_NB : 0));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
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
