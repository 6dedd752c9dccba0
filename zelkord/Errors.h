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

// Keeps this thread's last error across work that is not the operation's own
// (the host's, called back from inside it): restored when the keeper goes.
class LastErrorKept {
public:
    LastErrorKept();
    ~LastErrorKept();
    LastErrorKept(const LastErrorKept&) = delete;
    LastErrorKept& operator=(const LastErrorKept&) = delete;

private:
    int code_;
    std::string message_;
};

}  // namespace zkd
