// CTX_GET_ORIGINAL: whatever it is given (an envelope of the container
// family, or a signed container), opened: the envelope decrypted with the
// user's key, the container inside verified, every signature described with
// its signer's certificate (checked by OCSP on request), and the content.
#pragma once
#include <string>

#include <tinyxml2.h>

namespace zk {

bool CtxGetOriginalCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                           std::string& answer);

}  // namespace zk
