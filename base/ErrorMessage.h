// Start-up errors for the user: the message box of platform/MessageBox.h and
// the same text as a log line (when the log is open).
#pragma once
#include <string>

namespace zk {

// text is UTF-8.
void ShowError(const std::string& text);

}  // namespace zk
