#include "platform/Profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <strings.h>

namespace zk::Profile {
namespace {

// Serialises read-modify-write cycles of this process.
std::mutex g_writeMutex;

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return s.substr(b, e - b);
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

std::vector<std::string> ReadLines(const std::string& file, bool* exists = nullptr) {
    std::vector<std::string> lines;
    std::ifstream in(file, std::ios::binary);
    if (exists) *exists = static_cast<bool>(in);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// Section name of a header line, if it is one.
std::optional<std::string> SectionOf(const std::string& line) {
    std::string t = Trim(line);
    if (t.size() < 2 || t.front() != '[') return std::nullopt;
    size_t close = t.find(']');
    if (close == std::string::npos) return std::nullopt;
    return Trim(t.substr(1, close - 1));
}

// Key and value of an entry line, if it is one.
std::optional<std::pair<std::string, std::string>> EntryOf(const std::string& line) {
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '[') return std::nullopt;
    size_t eq = t.find('=');
    if (eq == std::string::npos) return std::nullopt;
    std::string value = Trim(t.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return std::make_pair(Trim(t.substr(0, eq)), value);
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

bool WriteAtomically(const std::string& file, const std::string& text) {
    std::string tmp = file + ".tmp" + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    bool ok = done == text.size() && fsync(fd) == 0;
    struct stat st;
    if (ok && stat(file.c_str(), &st) == 0) fchmod(fd, st.st_mode & 07777);
    ok = close(fd) == 0 && ok;
    if (ok && rename(tmp.c_str(), file.c_str()) == 0) return true;
    unlink(tmp.c_str());
    return false;
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

bool WriteString(const std::string& file, const std::string& section, const std::string& key,
                 const std::optional<std::string>& value) {
    std::lock_guard lock(g_writeMutex);
    std::vector<std::string> lines = ReadLines(file);
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
    } else if (value) {
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
            if (inSection && !Trim(lines[i]).empty()) insertAt = i + 1;
        }
        if (insertAt) {
            lines.insert(lines.begin() + static_cast<long>(*insertAt), key + "=" + *value);
        } else {
            if (!lines.empty() && !Trim(lines.back()).empty()) lines.emplace_back();
            lines.push_back("[" + section + "]");
            lines.push_back(key + "=" + *value);
        }
    } else {
        return true;
    }
    std::ostringstream text;
    for (const auto& l : lines) text << l << "\r\n";
    return WriteAtomically(file, text.str());
}

}  // namespace zk::Profile
