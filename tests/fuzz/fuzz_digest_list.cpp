// The update server's digest list is untrusted input: whatever it holds,
// parsing ends, and every name it accepts is a plain name of the program
// folder with a well-formed MD5 value, and the list stays within its bound.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "update/DigestList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zk::update::DigestList list;
    if (!zk::update::ParseDigestList(std::string_view(reinterpret_cast<const char*>(data), size), list)) return 0;
    if (list.size() > zk::update::kMaxListEntries) abort();
    for (const auto& [name, md5] : list) {
        if (!zk::update::IsSafeFileName(name)) abort();
        if (name.find('/') != std::string::npos || name.find("..") != std::string::npos) abort();
        if (md5.size() != 32 || md5.find_first_not_of("0123456789abcdef") != std::string::npos) abort();
        if (zk::update::PercentEncode(name).find_first_of("/ \r\n") != std::string::npos) abort();
    }
    return 0;
}
