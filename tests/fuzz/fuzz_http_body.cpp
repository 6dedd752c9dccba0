// A POST body as a page sends it: flags, unwrapping (raw XML, the Base64 form
// field, percent-encoding), the document length and the answer forms. Nothing
// may crash, and the window-name page is always 103 bytes longer than the
// Base64 it carries.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "http/RequestEncoding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string body(reinterpret_cast<const char*>(data), size);
    zk::http::RequestFlags flags = zk::http::ReadFlags(body);
    std::string text = zk::http::UnwrapBody(body);
    size_t docLen = zk::http::DocumentLength(text);
    if (docLen > text.size()) abort();

    std::string base64 = zk::http::EncodeAnswer(text, {true, true});
    std::string page = zk::http::EncodeAnswer(text, {false, flags.encodeOutput});
    if (page.size() != base64.size() + 103) abort();
    return 0;
}
