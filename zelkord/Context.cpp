#include "zelkord/Context.h"

#include <strings.h>

namespace zkd {
namespace {

std::atomic<Context*> g_current{nullptr};
std::atomic<ZKLogCallback> g_log{nullptr};
thread_local int t_currentLibrary = -1;

}  // namespace

int Context::IndexOf(const char* code) const {
    if (!code) return -1;
    for (size_t i = 0; i < libs.size(); ++i)
        if (strcasecmp(libs[i].code.c_str(), code) == 0) return static_cast<int>(i);
    return -1;
}

Context* CurrentContext() { return g_current.load(); }
void SetCurrentContext(Context* ctx) { g_current.store(ctx); }

int CurrentLibrary() { return t_currentLibrary; }
void SetCurrentLibrary(int index) { t_currentLibrary = index; }

void SetLogCallback(ZKLogCallback callback) { g_log.store(callback); }

void Log(const char* function, const char* file, int line, const std::string& message) {
    if (ZKLogCallback cb = g_log.load()) cb(message.c_str(), function, file, line);
}

}  // namespace zkd
