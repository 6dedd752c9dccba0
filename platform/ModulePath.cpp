#include "platform/ModulePath.h"

#include <unistd.h>

#include <climits>
#include <mutex>

namespace zk {
namespace {

struct Paths {
    std::string module;
    std::string folder;
};

std::mutex g_mutex;
Paths* g_paths = nullptr;

void Assign(Paths& p, std::string module) {
    p.module = std::move(module);
    size_t slash = p.module.rfind('/');
    p.folder = slash == std::string::npos ? std::string(".") : p.module.substr(0, slash == 0 ? 1 : slash);
}

Paths& Current() {
    std::lock_guard lock(g_mutex);
    if (!g_paths) {
        g_paths = new Paths;
        char buf[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
        Assign(*g_paths, n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("./ZelkorH"));
    }
    return *g_paths;
}

}  // namespace

const std::string& ModulePath() { return Current().module; }
const std::string& ProgramFolder() { return Current().folder; }

std::string ModulePathWithExtension(const std::string& ext) {
    const std::string& m = ModulePath();
    size_t slash = m.rfind('/');
    size_t dot = m.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) return m.substr(0, dot) + ext;
    return m + ext;
}

std::string ProgramFile(const std::string& name) { return ProgramFolder() + "/" + name; }

void SetModulePathForTesting(const std::string& path) {
    Paths& p = Current();
    std::lock_guard lock(g_mutex);
    Assign(p, path);
}

}  // namespace zk
