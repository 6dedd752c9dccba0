// The provider's last error, kept per thread.
#pragma once
#include <string>

namespace zkd {

// Records the error of the current operation and returns code, so that
// operations can end with "return Fail(7, "...")".
int Fail(int code, const std::string& message);
int Fail(int code);
void ClearError();

}  // namespace zkd
