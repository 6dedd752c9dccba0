#include "platform/Profile.h"

#include "platform/Files.h"
#include "platform/Text.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <strings.h>

namespace zk::Profile {
namespace {

// Serialises read-modify-write cycles of this process.
std::mutex g_writeMutex;

// The lines of the file's first kMaxFileBytes (a line cut there is dropped);
// bytes: how many bytes they came from.
std::vector<std::string> ReadLines(const std::string& file, size_t* bytes = nullptr) {
    std::vector<std::string> lines;
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : 0;
    std::string text(static_cast<size_t>(std::clamp<std::streamoff>(size, 0, static_cast<std::streamoff>(kMaxFileBytes) + 1)), '\0');
    in.seekg(0);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    if (text.size() > kMaxFileBytes) {
        const size_t lastBreak = text.rfind('\n', kMaxFileBytes - 1);
        text.resize(lastBreak == std::string::npos ? 0 : lastBreak + 1);
    }
    if (bytes) *bytes = text.size();
    std::istringstream lineStream(text);
    std::string line;
    while (std::getline(lineStream, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// Section name of a header line, if it is one.
std::optional<std::string> SectionOf(const std::string& line) {
    std::string t = TrimBlanks(line);
    if (t.size() < 2 || t.front() != '[') return std::nullopt;
    size_t close = t.find(']');
    if (close == std::string::npos) return std::nullopt;
    return TrimBlanks(t.substr(1, close - 1));
}

// Key and value of an entry line, if it is one.
std::optional<std::pair<std::string, std::string>> EntryOf(const std::string& line) {
    std::string t = TrimBlanks(line);
    if (t.empty() || t[0] == ';' || t[0] == '[') return std::nullopt;
    size_t eq = t.find('=');
    if (eq == std::string::npos) return std::nullopt;
    std::string value = TrimBlanks(t.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return std::make_pair(TrimBlanks(t.substr(0, eq)), value);
}

// A value with a line break or NUL would end its line and start another: a
// page could add sections and keys of its own (a certificate folder, an
// update address). Key and section names must also read back as themselves.
bool ValidValue(const std::string& value) { return value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos; }

// Names as the reader sees them (blanks around them cut).
bool ValidKey(const std::string& name) {
    return !name.empty() && name[0] != ';' && ValidValue(name) && name.find_first_of("=[]") == std::string::npos;
}

bool ValidSection(const std::string& name) {
    return !name.empty() && ValidValue(name) && name.find_first_of("[]") == std::string::npos;
}

template <typename Visit>
void ForEachEntry(const std::vector<std::string>& lines, const std::string& section, Visit visit) {
    bool inSection = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (auto s = SectionOf(lines[i])) {
            inSection = EqualNoCase(*s, section);
            continue;
        }
        if (!inSection) continue;
        if (auto e = EntryOf(lines[i]))
            if (!visit(i, e->first, e->second)) return;
    }
}

}  // namespace

std::string GetString(const std::string& file, const std::string& section, const std::string& key,
                      const std::string& def, size_t maxChars) {
    std::optional<std::string> found;
    ForEachEntry(ReadLines(file), section, [&](size_t, const std::string& k, const std::string& v) {
        if (!EqualNoCase(k, key)) return true;
        found = v;
        return false;
    });
    std::string value = found ? *found : def;
    if (value.size() > maxChars) value.resize(maxChars);
    return value;
}

long GetInt(const std::string& file, const std::string& section, const std::string& key, long def) {
    const std::string missing = "\x01missing";
    std::string v = GetString(file, section, key, missing);
    if (v == missing) return def;
    return std::strtol(v.c_str(), nullptr, 10);
}

std::vector<std::pair<std::string, std::string>> GetSection(const std::string& file, const std::string& section) {
    std::vector<std::pair<std::string, std::string>> entries;
    ForEachEntry(ReadLines(file), section, [&](size_t, const std::string& k, const std::string& v) {
        entries.emplace_back(k, v);
        return true;
    });
    return entries;
}

bool HasSection(const std::string& file, const std::string& section) {
    for (const auto& line : ReadLines(file))
        if (auto s = SectionOf(line); s && EqualNoCase(*s, section)) return true;
    return false;
}

std::vector<std::string> SectionNames(const std::string& file) {
    std::vector<std::string> names;
    for (const auto& line : ReadLines(file)) {
        auto s = SectionOf(line);
        if (!s) continue;
        bool seen = false;
        for (const auto& name : names) seen = seen || EqualNoCase(name, *s);
        if (!seen) names.push_back(*s);
    }
    return names;
}

namespace {

// Sets or deletes one key in the lines. True when it added a key.
bool Apply(std::vector<std::string>& lines, const std::string& section, const std::string& key,
           const std::optional<std::string>& value, bool& changed) {
    std::optional<size_t> keyLine;
    ForEachEntry(lines, section, [&](size_t i, const std::string& k, const std::string&) {
        if (!EqualNoCase(k, key)) return true;
        keyLine = i;
        return false;
    });
    if (keyLine) {
        if (value)
            lines[*keyLine] = key + "=" + *value;
        else
            lines.erase(lines.begin() + static_cast<long>(*keyLine));
        changed = true;
        return false;
    }
    if (!value) return false;
    // Append to the section when it exists (after its last entry), else add it.
    std::optional<size_t> insertAt;
    bool inSection = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (auto s = SectionOf(lines[i])) {
            if (inSection) break;
            inSection = EqualNoCase(*s, section);
            if (inSection) insertAt = i + 1;
            continue;
        }
        if (inSection && !TrimBlanks(lines[i]).empty()) insertAt = i + 1;
    }
    if (insertAt) {
        lines.insert(lines.begin() + static_cast<long>(*insertAt), key + "=" + *value);
    } else {
        if (!lines.empty() && !TrimBlanks(lines.back()).empty()) lines.emplace_back();
        lines.push_back("[" + section + "]");
        lines.push_back(key + "=" + *value);
    }
    changed = true;
    return true;
}

size_t CountEntries(const std::vector<std::string>& lines, const std::string& section) {
    size_t n = 0;
    ForEachEntry(lines, section, [&](size_t, const std::string&, const std::string&) {
        ++n;
        return true;
    });
    return n;
}

}  // namespace

bool ValidEntry(const std::string& key, const std::string& value) {
    return ValidKey(TrimBlanks(key)) && ValidValue(value);
}

WriteResult WriteEntries(const std::string& file, const std::string& sectionText, const std::vector<Entry>& entries) {
    // Blanks around names are no part of them when read: a key written with
    // them would stand beside the one it should replace.
    const std::string section = TrimBlanks(sectionText);
    if (!ValidSection(section)) return WriteResult::Invalid;
    for (const auto& [key, value] : entries)
        if (!ValidKey(TrimBlanks(key)) || (value && !ValidValue(*value))) return WriteResult::Invalid;
    for (const auto& [key, value] : entries)
        if (TrimBlanks(key).size() > kMaxText || (value && value->size() > kMaxText)) return WriteResult::TooLarge;

    std::lock_guard lock(g_writeMutex);
    size_t before = 0;
    std::vector<std::string> lines = ReadLines(file, &before);
    bool changed = false, added = false;
    for (const auto& [key, value] : entries) added = Apply(lines, section, TrimBlanks(key), value, changed) || added;
    if (!changed) return WriteResult::Written;
    if (added && CountEntries(lines, section) > kMaxEntries) return WriteResult::TooLarge;
    std::ostringstream text;
    for (const auto& l : lines) text << l << "\r\n";
    const std::string out = text.str();
    if (out.size() > kMaxFileBytes && out.size() > before) return WriteResult::TooLarge;
    return files::WriteAtomically(file, out.data(), out.size()) ? WriteResult::Written : WriteResult::Failed;
}

bool WriteString(const std::string& file, const std::string& section, const std::string& key,
                 const std::optional<std::string>& value) {
    return WriteEntries(file, section, {{key, value}}) == WriteResult::Written;
}

}  // namespace zk::Profile
