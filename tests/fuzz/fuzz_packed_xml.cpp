// The unpacking of packed texts ("PACKED_XML" blocks) on any bytes: the
// header, the unscrambling and liblzma's raw decoder. Nothing may crash; a
// text never exceeds its bound or differs in size from a declared size.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "commands/protected/PackedXml.h"
#include "commands/protected/TransportHeaders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr uint64_t kBound = 16u << 20;
    const zk::ByteSpan block(data, size);
    uint32_t declared = 0;
    zk::ByteSpan packed = block;
    if (zk::ReadPackedXmlHeader(block, declared, packed) != 0) declared = 0;  // a bare stream is unpacked as well
    std::vector<uint8_t> text;
    if (zk::UnpackPackedXml(packed, declared, kBound, text) == 0) {
        if (text.empty() || text.size() > kBound || (declared && text.size() != declared)) abort();
    } else if (!text.empty()) {
        abort();
    }
    return 0;
}
