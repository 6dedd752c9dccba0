#include "base/Log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <atomic>
#include <mutex>


namespace zk::log {
namespace {

std::mutex g_lock;
std::atomic<FILE*> g_file{nullptr};
constexpr size_t kMaxFunctionName = 249;

struct Head {
    struct tm tm {};
};

Head Now() {
    Head h;
    time_t t = time(nullptr);
    localtime_r(&t, &h.tm);
    return h;
}

void WriteHead(FILE* f, const Head& h, const char* function, const std::string& source, int line) {
    fprintf(f, "%02u-%02u-%02u %02u:%02u:%02u %s, %s, %d\t- ", static_cast<unsigned>(h.tm.tm_mday),
            static_cast<unsigned>(h.tm.tm_mon + 1), static_cast<unsigned>(h.tm.tm_year % 100),
            static_cast<unsigned>(h.tm.tm_hour), static_cast<unsigned>(h.tm.tm_min),
            static_cast<unsigned>(h.tm.tm_sec), function ? function : "", source.c_str(), line);
}

template <typename Body>
void WriteLine(const char* function, const char* sourceFile, int line, Body body) {
    if (!g_file.load()) return;
    Head h = Now();  // taken before the lock: lines may land slightly out of time order
    std::string source = SourceName(sourceFile);
    std::lock_guard lock(g_lock);
    FILE* f = g_file.load();
    if (!f) return;
    WriteHead(f, h, function, source, line);
    body(f);
    fputs("\r\n", f);
    fflush(f);
}

}  // namespace

std::string SourceName(const char* path) {
    if (!path) return {};
    const char* base = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\') base = p + 1;
    std::string name(base);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name;
}

void Start(const std::string& folder, bool enabled) {
    if (!enabled) return;
    std::lock_guard lock(g_lock);
    if (g_file.load()) return;
    if (FILE* f = fopen((folder + "/ZelkorH.log").c_str(), "ab")) g_file.store(f);
}

void Stop() {
    std::lock_guard lock(g_lock);
    if (FILE* f = g_file.exchange(nullptr)) fclose(f);
}

bool IsOpen() { return g_file.load() != nullptr; }

void Write(const char* function, const char* sourceFile, int line, const char* format, ...) {
    if (!g_file.load()) return;
    va_list args;
    va_start(args, format);
    WriteLine(function, sourceFile, line, [&](FILE* f) { vfprintf(f, format, args); });
    va_end(args);
}

void WritePlain(const char* function, const char* sourceFile, int line, std::string_view message) {
    WriteLine(function, sourceFile, line, [&](FILE* f) { fwrite(message.data(), 1, message.size(), f); });
}

extern "C" void ProviderLogCallback(const char* message, const char* function, const char* sourceFile, int line) {
    if (!g_file.load()) return;
    std::string fn = function ? function : "";
    if (fn.size() > kMaxFunctionName) fn.resize(kMaxFunctionName);
    Write(fn.c_str(), sourceFile, line, "ZelkorD: %s", message ? message : "");
}

}  // namespace zk::log
