// Private-profile settings files with Windows semantics: "[section]" headers
// and "key=value" lines, section and key names compared without regard to
// ASCII case, blanks around names and values ignored, a value enclosed in
// matching quotes taken without them, ";" starting a comment line. A write
// creates the file and the section when missing and replaces the whole file
// atomically (a temporary file renamed over it), so readers never see half a
// file.
//
// Files are bounded (pages reach the writer through their requests): a write
// that would leave a section with more than kMaxEntries keys (adding one),
// a name or value longer than kMaxText bytes, or a file larger than
// kMaxFileBytes (growing it) is refused and the file stays as it was.
// Readers take at most the first kMaxFileBytes of a file (whole lines).
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zk::Profile {

constexpr size_t kMaxEntries = 1024;
constexpr size_t kMaxText = 1023;
constexpr size_t kMaxFileBytes = 1 << 20;

// The value of key, cut to maxChars characters, or def when the file, the
// section or the key is missing.
std::string GetString(const std::string& file, const std::string& section, const std::string& key,
                      const std::string& def = "", size_t maxChars = 65535);

// The leading signed decimal number of the value (0 when it has none), or def
// when the key is missing.
long GetInt(const std::string& file, const std::string& section, const std::string& key, long def);

// Sets key to value (creating file and section as needed); std::nullopt
// deletes the key. Blanks around section and key names are cut. Returns false when the file could not be written, and,
// leaving the file untouched, when the value holds a CR, LF or NUL, or the key
// one of those, "=", "[" or "]" (or is empty or starts with ";"), or the
// section name one of CR, LF, NUL, "[" or "]" (or is empty).
bool WriteString(const std::string& file, const std::string& section, const std::string& key,
                 const std::optional<std::string>& value);

enum class WriteResult {
    Written,   // the file holds the entries (or needed no change)
    Invalid,   // a section, key or value WriteString refuses; nothing written
    TooLarge,  // beyond the bounds above; nothing written
    Failed,    // the file could not be written; nothing written
};

// Sets (or with std::nullopt deletes) several keys of one section in one
// rewrite: all of them or, on any refusal, none.
using Entry = std::pair<std::string, std::optional<std::string>>;
WriteResult WriteEntries(const std::string& file, const std::string& section, const std::vector<Entry>& entries);

// Whether WriteString would take this key and value as text (no line breaks,
// NUL, or characters that would make the key read back as something else).
bool ValidEntry(const std::string& key, const std::string& value);

// Whether the file has a header for section.
bool HasSection(const std::string& file, const std::string& section);

// The names of the file's sections, in file order (a name that recurs once).
std::vector<std::string> SectionNames(const std::string& file);

// Every key=value pair of a section, in file order.
std::vector<std::pair<std::string, std::string>> GetSection(const std::string& file, const std::string& section);

}  // namespace zk::Profile
