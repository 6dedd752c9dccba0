// The diagnostic log "ZelkorH.log" in the program folder, written only when
// the Log setting is on. Every line: "DD-MM-YY HH:MM:SS function, source, line\t- "
// then the message and "\r\n", written whole under one lock and flushed.
#pragma once
#include <string>
#include <string_view>

namespace zk::log {

// Opens "ZelkorH.log" in folder for appending when enabled. Does nothing when
// disabled. (The provider binding hands the provider ProviderLogCallback when
// it loads; lines arrive only while the log is open.)
void Start(const std::string& folder, bool enabled);
// Closes the file (only when it was open).
void Stop();
bool IsOpen();

// Formatted and plain writers; sourceFile may be a path (__FILE__): only its
// name without folder and extension is written.
void Write(const char* function, const char* sourceFile, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void WritePlain(const char* function, const char* sourceFile, int line, std::string_view message);

// Called by the provider library on any thread; writes only while the log is open.
extern "C" void ProviderLogCallback(const char* message, const char* function, const char* sourceFile, int line);

// "dir/HTTPServer.cpp" -> "HTTPServer".
std::string SourceName(const char* path);

}  // namespace zk::log

#define ZLOG(function, ...) ::zk::log::Write(function, __FILE__, __LINE__, __VA_ARGS__)
#define ZLOG_PLAIN(function, message) ::zk::log::WritePlain(function, __FILE__, __LINE__, message)
