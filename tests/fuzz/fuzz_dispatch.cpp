// A request text as the front end hands it on: parsed up to its first zero
// byte, then dispatched. Nothing may crash, whatever the text.
#include <cstdint>
#include <string>

#include <tinyxml2.h>

#include "commands/ProcessRequest.h"
#include "platform/ModulePath.h"

#include <cstdlib>
#include <unistd.h>

// Commands that write (data blob, databases, settings) write into a private
// program folder, never beside the fuzzer.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static char folder[] = "/tmp/zk-fuzz-XXXXXX";
    if (!mkdtemp(folder)) abort();
    zk::SetModulePathForTesting(std::string(folder) + "/ZelkorH");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    if (doc.Parse(text.c_str()) != tinyxml2::XML_SUCCESS) return 0;
    std::string answer;
    zk::ProcessRequestPOST(doc, answer);
    return 0;
}
