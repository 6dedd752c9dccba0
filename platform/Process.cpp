#include "platform/Process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <linux/close_range.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace zk::process {
namespace {

bool Executable(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// Starts argv[0]; standard output goes to outFd when given, else /dev/null.
pid_t Spawn(const std::vector<std::string>& argv, int outFd = -1) {
    if (argv.empty()) return -1;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    // The service blocks its end-of-session signals; the child gets them back.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ) != 0) pid = -1;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Marks every descriptor above standard error close-on-exec.
void CloseOnExecAll() {
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
    DIR* dir = opendir("/proc/self/fd");  // kernels before 5.11
    if (!dir) return;
    const int own = dirfd(dir);
    while (dirent* e = readdir(dir)) {
        const int fd = atoi(e->d_name);
        if (fd > 2 && fd != own) fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    closedir(dir);
}

}  // namespace

std::string FindProgram(const std::string& name) {
    if (name.empty()) return {};
    if (name.find('/') != std::string::npos) return Executable(name) ? name : std::string();
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        if (!dir.empty() && Executable(dir + "/" + name)) return dir + "/" + name;
        start = end + 1;
    }
    return {};
}

std::optional<int> Run(const std::vector<std::string>& argv, int timeoutSeconds) {
    pid_t pid = Spawn(argv);
    if (pid < 0) return std::nullopt;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
        if (r < 0 && errno != EINTR) return std::nullopt;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool Start(const std::vector<std::string>& argv) {
    pid_t pid = Spawn(argv);
    if (pid < 0) return false;
    std::thread([pid] {
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

std::optional<Captured> RunCaptured(const std::vector<std::string>& argv, const std::atomic<bool>* cancel,
                                    size_t maxOutput) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
    pid_t pid = Spawn(argv, out[1]);
    close(out[1]);
    if (pid < 0) {
        close(out[0]);
        return std::nullopt;
    }
    Captured captured;
    bool stopped = false;
    // Until the program closes its output (it ends) or the caller gives up.
    for (;;) {
        if (cancel && cancel->load()) {
            kill(pid, SIGKILL);
            stopped = true;
            break;
        }
        pollfd p = {out[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buffer[4096];
        ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const size_t room = maxOutput - std::min(maxOutput, captured.output.size());
        captured.output.append(buffer, std::min(static_cast<size_t>(n), room));
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    close(out[0]);
    if (stopped || !WIFEXITED(status)) return std::nullopt;
    captured.exitCode = WEXITSTATUS(status);
    return captured;
}

void ReplaceProcess(const std::vector<std::string>& argv,
                    const std::vector<std::pair<std::string, std::string>>& env) {
    if (argv.empty()) return;
    // The environment is built aside (other threads may still read the
    // process's own), the given variables replacing any of the same name.
    std::vector<std::string> variables;
    for (const auto& [name, value] : env) variables.push_back(name + "=" + value);
    for (char** e = environ; *e; ++e) {
        bool replaced = false;
        for (const auto& [name, value] : env)
            replaced = replaced || (strncmp(*e, name.c_str(), name.size()) == 0 && (*e)[name.size()] == '=');
        if (!replaced) variables.push_back(*e);
    }
    std::vector<char*> envp;
    for (auto& v : variables) envp.push_back(v.data());
    envp.push_back(nullptr);
    // Listening sockets and locks must not outlive this program in the next one.
    CloseOnExecAll();
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execve(args[0], args.data(), envp.data());
}

}  // namespace zk::process
