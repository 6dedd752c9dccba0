// A settings write with page-supplied text (GET_VERSION's OCSP servers, the
// key folder) changes exactly the entries it names or nothing: it never adds
// sections or keys of its own, nor changes other entries, and it never takes
// a file beyond the bounds (keys per section, text per name and value, the
// file's size), also when the file is at them already.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/Profile.h"
#include "platform/Text.h"

namespace {

const std::string kBefore = "[common]\r\nPath=http://update.example\r\n\r\n[ocspServers]\r\nUA-1=http://a.example\r\n";

// The file the write starts from: at the bound of keys (1), near the bound
// of size (2), else small (the large ones are slow to write: seldom).
std::string Start(uint8_t choice) {
    std::string text = kBefore;
    const size_t keys = choice == 1 ? zk::Profile::kMaxEntries - 1 : choice == 2 ? 1000 : 0;
    const std::string value = choice == 2 ? std::string(zk::Profile::kMaxText, 'v') : "http://o.example";
    for (size_t i = 0; i < keys; ++i) text += "UA-x" + std::to_string(i) + "=" + value + "\r\n";
    return text;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

size_t Headers(const std::string& text) {
    size_t n = 0, start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        std::string line = zk::TrimBlanks(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        n += !line.empty() && line[0] == '[' && line.find(']') != std::string::npos;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return n;
}

// Input: a byte choosing the starting file, then section, key, value, key,
// value... separated by 0xFF bytes; a value 0xFE alone deletes its key.
std::string Part(std::string_view& rest) {
    size_t cut = rest.find('\xff');
    std::string part(rest.substr(0, cut));
    rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
    return part;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string file = "/tmp/zk_fuzz_profile_" + std::to_string(getpid()) + ".ini";
    static const std::string startFile = file + ".start";
    if (size == 0) return 0;
    const std::string before = Start(data[0]);
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string section = Part(rest);
    std::vector<zk::Profile::Entry> entries;
    do {
        std::string key = Part(rest);
        std::string value = Part(rest);
        entries.emplace_back(key, value == "\xfe" ? std::nullopt : std::optional<std::string>(value));
    } while (!rest.empty() && entries.size() < 8);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << before;
    std::ofstream(startFile, std::ios::binary | std::ios::trunc) << before;

    const zk::Profile::WriteResult result = zk::Profile::WriteEntries(file, section, entries);
    const std::string after = ReadFile(file);
    if (result != zk::Profile::WriteResult::Written) {
        if (after != before) abort();  // a refused write leaves the file as it was
        return 0;
    }
    if (Headers(after) > Headers(before) + 1) abort();
    if (after.size() > zk::Profile::kMaxFileBytes && after.size() > before.size()) abort();
    const std::string name = zk::TrimBlanks(section);
    const size_t keys = zk::Profile::GetSection(file, name).size();
    if (keys > zk::Profile::kMaxEntries && keys > zk::Profile::GetSection(startFile, name).size()) abort();
    // Each key reads back as the batch left it (the later of two wins), as
    // the service writes names: without blanks around.
    for (size_t i = 0; i < entries.size(); ++i) {
        const std::string key = zk::TrimBlanks(entries[i].first);
        const std::optional<std::string>* last = &entries[i].second;
        for (size_t j = i + 1; j < entries.size(); ++j)
            if (zk::EqualNoCase(zk::TrimBlanks(entries[j].first), key)) last = &entries[j].second;
        const bool found = zk::Profile::GetString(file, name, key, "\x01missing") != "\x01missing";
        if (found != last->has_value()) abort();
        if (*last && (key.size() > zk::Profile::kMaxText || (*last)->size() > zk::Profile::kMaxText)) abort();
    }
    auto untouched = [&](const char* s, const char* k, const char* v) {
        bool named = false;
        for (const auto& e : entries)
            named = named || (zk::EqualNoCase(name, s) && zk::EqualNoCase(zk::TrimBlanks(e.first), k));
        if (!named && zk::Profile::GetString(file, s, k) != v) abort();
    };
    untouched("common", "Path", "http://update.example");
    untouched("ocspServers", "UA-1", "http://a.example");
    untouched("common", "UsrCertPath", "");
    return 0;
}
