// The provider's last error, kept per thread.
#pragma once
#include <string>

#include "provider/ZelkorD.h"

namespace zkd {

// Records the error of the current operation and returns code, so that
// operations can end with "return Fail(ZK_E_BAD_KEY_FORMAT, "...")".
int Fail(int code, const std::string& message);
int Fail(int code);
// The same for a failure that may come from a lack of memory: the message
// (prefix and text) is dropped when it cannot be kept.
int FailQuietly(int code, const char* prefix, const char* text) noexcept;
void ClearError();
// The message of the last error recorded on this thread.
const std::string& LastErrorText();

}  // namespace zkd
