// The framing guard over any byte stream, cut anywhere: it never fails, its
// edits are same-length overwrites of bytes just fed that lie within the
// current line, and the budget it holds is what it took and did not hand out.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "http/RequestFraming.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint64_t budget = data[0] * 64;
    const size_t step = 1 + data[1] % 64;
    std::string_view stream(reinterpret_cast<const char*>(data) + 2, size - 2);
    uint64_t used = 0;
    zk::http::RequestFraming framing(4096, 1024, [&](uint64_t n) {
        if (used + n > budget) return false;
        used += n;
        return true;
    });
    uint64_t handedOut = 0;
    for (size_t i = 0; i < stream.size(); i += step) {
        std::string_view piece = stream.substr(i, step);
        for (const auto& edit : framing.Feed(piece)) {
            if (edit.bytes.empty() || edit.at + edit.bytes.size() > i + piece.size()) abort();
            if (edit.at + 1024 + 2 * step < i) abort();  // a line far behind would have been read already
        }
        if (framing.Fed() != i + piece.size()) abort();
        handedOut += framing.TakeVerdict().reserved;
    }
    if (handedOut + framing.Outstanding() != used) abort();
    return 0;
}
