// The tray icon with the menu of TrayActions, as a StatusNotifier item
// (libayatana-appindicator3 with GTK 3, both opened at run time: without them,
// or without a desktop session, the service runs without an icon). The icon
// lives on a thread of its own that runs GTK's loop; a chosen item is handed
// to onCommand on that thread.
#pragma once
#include <functional>
#include <string>

namespace zk::tray {

// Shows the icon (iconPath: an image file). False, with the reason in why,
// when it cannot be shown.
bool ShowTrayIcon(const std::string& iconPath, std::function<void(int command)> onCommand, std::string* why);

// Removes the icon and ends its thread.
void RemoveTrayIcon();

}  // namespace zk::tray
