#include "base/Log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cinttypes>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>


namespace zk::log {
namespace {

std::mutex g_lock;
std::atomic<FILE*> g_file{nullptr};
std::string g_path;         // under g_lock
uint64_t g_maxSize = kDefaultMaxSize;
uint64_t g_size = 0;        // bytes in the current file, under g_lock
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

// Appending, created 0600 and made 0600 if an older run left it readable.
FILE* OpenPrivate(const std::string& path, uint64_t* size) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    fchmod(fd, 0600);
    struct stat st {};
    *size = fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    FILE* f = fdopen(fd, "ab");
    if (!f) close(fd);
    return f;
}

// Under g_lock: the full file becomes the one old file and a new one starts.
void RotateIfFull(FILE*& f) {
    if (g_size < g_maxSize) return;
    fclose(f);
    rename(g_path.c_str(), (g_path + ".1").c_str());
    f = OpenPrivate(g_path, &g_size);
    g_file.store(f);
}

void AppendEscaped(std::string& out, std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    for (unsigned char c : text) {
        if (c >= 0x20 && c != 0x7F) {
            out.push_back(static_cast<char>(c));
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            out += "\\x";
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
}

// One conversion, built by FormatLine from the caller's own format.
void AppendConversion(std::string& out, const std::string& conversion, ...) {
    char buf[512];
    va_list args;
    va_start(args, conversion);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int n = vsnprintf(buf, sizeof buf, conversion.c_str(), args);
#pragma GCC diagnostic pop
    va_end(args);
    if (n > 0) out.append(buf, std::min(static_cast<size_t>(n), sizeof buf - 1));
}

// printf with the text arguments passed through LoggedText. Written here
// because vsnprintf cannot tell the program's own format (whose "\r\n" some
// lines carry on purpose) from the data in its arguments.
std::string FormatLine(const char* format, va_list args) {
    std::string out;
    for (const char* p = format; *p;) {
        if (*p != '%') {
            out.push_back(*p++);
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out.push_back('%');
            ++p;
            continue;
        }
        int width = -1, precision = -1;
        bool hasWidth = false, hasPrecision = false;
        std::string flags;
        while (*p && strchr("-+ #0'", *p)) flags.push_back(*p++);
        if (*p == '*') {
            width = va_arg(args, int);
            hasWidth = true;
            ++p;
        } else if (isdigit(static_cast<unsigned char>(*p))) {
            width = static_cast<int>(strtol(p, const_cast<char**>(&p), 10));
            hasWidth = true;
        }
        if (*p == '.') {
            ++p;
            hasPrecision = true;
            if (*p == '*') {
                precision = va_arg(args, int);
                ++p;
            } else {
                precision = static_cast<int>(strtol(p, const_cast<char**>(&p), 10));
            }
        }
        std::string length;
        while (*p && strchr("hljztLq", *p)) length.push_back(*p++);
        const char conv = *p ? *p++ : '\0';
        std::string conversion = "%" + flags;
        if (hasWidth) conversion += std::to_string(width);
        if (hasPrecision && precision >= 0) conversion += "." + std::to_string(precision);
        switch (conv) {
            case 's': {
                const char* text = va_arg(args, const char*);
                if (!text) text = "(null)";
                size_t n = hasPrecision && precision >= 0 ? strnlen(text, static_cast<size_t>(precision)) : strlen(text);
                std::string shown = LoggedText(std::string_view(text, n));
                if (hasWidth) AppendConversion(out, "%" + flags + std::to_string(width) + "s", shown.c_str());
                else out += shown;
                break;
            }
            case 'c': {
                char c = static_cast<char>(va_arg(args, int));
                AppendEscaped(out, std::string_view(&c, 1));
                break;
            }
            case 'd': case 'i':
                if (length == "l") AppendConversion(out, conversion + "ld", va_arg(args, long));
                else if (length == "ll" || length == "q") AppendConversion(out, conversion + "lld", va_arg(args, long long));
                else if (length == "j") AppendConversion(out, conversion + "jd", va_arg(args, intmax_t));
                else if (length == "z") AppendConversion(out, conversion + "zd", va_arg(args, ssize_t));
                else if (length == "t") AppendConversion(out, conversion + "td", va_arg(args, ptrdiff_t));
                else AppendConversion(out, conversion + "d", va_arg(args, int));
                break;
            case 'u': case 'o': case 'x': case 'X': {
                std::string c(1, conv);
                if (length == "l") AppendConversion(out, conversion + "l" + c, va_arg(args, unsigned long));
                else if (length == "ll" || length == "q") AppendConversion(out, conversion + "ll" + c, va_arg(args, unsigned long long));
                else if (length == "j") AppendConversion(out, conversion + "j" + c, va_arg(args, uintmax_t));
                else if (length == "z") AppendConversion(out, conversion + "z" + c, va_arg(args, size_t));
                else if (length == "t") AppendConversion(out, conversion + "t" + c, va_arg(args, ptrdiff_t));
                else AppendConversion(out, conversion + c, va_arg(args, unsigned));
                break;
            }
            case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A': {
                std::string c(1, conv);
                if (length == "L") AppendConversion(out, conversion + "L" + c, va_arg(args, long double));
                else AppendConversion(out, conversion + c, va_arg(args, double));
                break;
            }
            case 'p':
                AppendConversion(out, conversion + "p", va_arg(args, void*));
                break;
            case 'n':
                (void)va_arg(args, void*);  // never written through
                break;
            default:
                out.append(start, p);  // not a conversion: kept as written
                break;
        }
    }
    return out;
}

void WriteHead(FILE* f, const Head& h, const char* function, const std::string& source, int line) {
    int n = fprintf(f, "%02u-%02u-%02u %02u:%02u:%02u %s, %s, %d\t- ", static_cast<unsigned>(h.tm.tm_mday),
                    static_cast<unsigned>(h.tm.tm_mon + 1), static_cast<unsigned>(h.tm.tm_year % 100),
                    static_cast<unsigned>(h.tm.tm_hour), static_cast<unsigned>(h.tm.tm_min),
                    static_cast<unsigned>(h.tm.tm_sec), function ? function : "", source.c_str(), line);
    if (n > 0) g_size += static_cast<uint64_t>(n);
}

void WriteLine(const char* function, const char* sourceFile, int line, std::string_view message) {
    if (!g_file.load()) return;
    Head h = Now();  // taken before the lock: lines may land slightly out of time order
    std::string source = SourceName(sourceFile);
    std::lock_guard lock(g_lock);
    FILE* f = g_file.load();
    if (!f) return;
    RotateIfFull(f);
    if (!f) return;
    WriteHead(f, h, function, source, line);
    fwrite(message.data(), 1, message.size(), f);
    fputs("\r\n", f);
    fflush(f);
    g_size += message.size() + 2;
}

}  // namespace

std::string LoggedText(std::string_view text) {
    std::string out;
    AppendEscaped(out, text.substr(0, kMaxText));
    if (text.size() > kMaxText) out += "... [" + std::to_string(text.size()) + " bytes in all]";
    return out;
}

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

void Start(const std::string& folder, bool enabled, uint64_t maxSize) {
    if (!enabled) return;
    std::lock_guard lock(g_lock);
    if (g_file.load()) return;
    g_path = folder + "/ZelkorH.log";
    g_maxSize = maxSize ? maxSize : kDefaultMaxSize;
    if (FILE* f = OpenPrivate(g_path, &g_size)) g_file.store(f);
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
    std::string message = FormatLine(format, args);
    va_end(args);
    WriteLine(function, sourceFile, line, message);
}

void WritePlain(const char* function, const char* sourceFile, int line, std::string_view message) {
    if (!g_file.load()) return;
    WriteLine(function, sourceFile, line, LoggedText(message));
}

extern "C" void ProviderLogCallback(const char* message, const char* function, const char* sourceFile, int line) {
    if (!g_file.load()) return;
    std::string fn = function ? function : "";
    if (fn.size() > kMaxFunctionName) fn.resize(kMaxFunctionName);
    Write(fn.c_str(), sourceFile, line, "ZelkorD: %s", message ? message : "");
}

}  // namespace zk::log
