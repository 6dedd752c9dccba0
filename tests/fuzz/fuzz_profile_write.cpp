// A settings write with page-supplied text (GET_VERSION's OCSP servers, the
// key folder) changes exactly the one entry it names or nothing: it never
// adds sections or keys of its own, nor changes other entries.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/Profile.h"
#include "platform/Text.h"

namespace {

const std::string kBefore = "[common]\r\nPath=http://update.example\r\n\r\n[ocspServers]\r\nUA-1=http://a.example\r\n";

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

// Input: section, key and value separated by 0xFF bytes.
std::string Part(std::string_view& rest) {
    size_t cut = rest.find('\xff');
    std::string part(rest.substr(0, cut));
    rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
    return part;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string file = "/tmp/zk_fuzz_profile_" + std::to_string(getpid()) + ".ini";
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    const std::string section = Part(rest), key = Part(rest), value(rest);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << kBefore;

    const bool written = zk::Profile::WriteString(file, section, key, value);
    const std::string after = ReadFile(file);
    if (!written) {
        if (after != kBefore) abort();  // a refused write leaves the file as it was
        return 0;
    }
    if (Headers(after) > Headers(kBefore) + 1) abort();
    // The reader takes names as the service writes them: without blanks around.
    if (zk::Profile::GetString(file, zk::TrimBlanks(section), zk::TrimBlanks(key), "\x01missing") == "\x01missing")
        abort();
    auto untouched = [&](const char* s, const char* k, const char* v) {
        const bool same = zk::EqualNoCase(zk::TrimBlanks(section), s) && zk::EqualNoCase(zk::TrimBlanks(key), k);
        if (!same && zk::Profile::GetString(file, s, k) != v) abort();
    };
    untouched("common", "Path", "http://update.example");
    untouched("ocspServers", "UA-1", "http://a.example");
    untouched("common", "UsrCertPath", "");
    return 0;
}
