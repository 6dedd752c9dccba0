// A message box with the caption "Помилка": one UTF-8 line on standard error
// and, in a desktop session with zenity installed, an error dialog. Never
// waits for the user (base/ErrorMessage.h adds the log line).
#pragma once
#include <string>

namespace zk {

// text is UTF-8; its line breaks become spaces on standard error.
void ShowErrorBox(const std::string& text);

// Whether the process runs in a desktop session (X11 or Wayland display set):
// dialogs and the tray icon are offered only there.
bool DesktopSession();

// The single line written for text.
std::string OneLine(const std::string& text);

}  // namespace zk
