// The diagnostic log "ZelkorH.log" in the program folder, written only when
// the Log setting is on. Every line: "DD-MM-YY HH:MM:SS function, source, line\t- "
// then the message and "\r\n", written whole under one lock and flushed.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace zk::log {

// Opens "ZelkorH.log" in folder for appending when enabled (readable by the
// user alone). Does nothing when disabled. A file that reaches maxSize bytes
// becomes "ZelkorH.log.1" (replacing the one before) and a new file is
// started. (The provider binding hands the provider ProviderLogCallback when
// it loads; lines arrive only while the log is open.)
constexpr uint64_t kDefaultMaxSize = 10ull << 20;
void Start(const std::string& folder, bool enabled, uint64_t maxSize = kDefaultMaxSize);
// Closes the file (only when it was open).
void Stop();
bool IsOpen();

// Formatted and plain writers; sourceFile may be a path (__FILE__): only its
// name without folder and extension is written. The texts they are given
// (the plain message, and every %s and %c argument of the formatted one) are
// data: each is cut to kMaxText bytes with its full length noted, and control
// characters in it are written escaped ("\r", "\n", "\t", "\xNN"), so no
// request can forge or flood lines. The format itself is written as it is.
constexpr size_t kMaxText = 4096;
void Write(const char* function, const char* sourceFile, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void WritePlain(const char* function, const char* sourceFile, int line, std::string_view message);

// Called by the provider library on any thread; writes only while the log is open.
extern "C" void ProviderLogCallback(const char* message, const char* function, const char* sourceFile, int line);

// A text as the writers put it into a line: cut and escaped as said above.
std::string LoggedText(std::string_view text);

// "dir/HTTPServer.cpp" -> "HTTPServer".
std::string SourceName(const char* path);

}  // namespace zk::log

#define ZLOG(function, ...) ::zk::log::Write(function, __FILE__, __LINE__, __VA_ARGS__)
#define ZLOG_PLAIN(function, message) ::zk::log::WritePlain(function, __FILE__, __LINE__, message)
