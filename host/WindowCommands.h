// The commands of the main window (its tray menu items), as other threads of
// the host send them: the window installs its handler; a command sent is run
// on the main thread and the sender waits until it has been handled.
#pragma once
#include <functional>

namespace zk::window {

enum Command : int {
    kAbout = 40009,     // "Про програму..."
    kExit = 40010,      // "Вихід"
    kKeyFolder = 40014, // "Каталог з ключами..."
};

using Handler = std::function<void(int command)>;

// Installed when the main window exists, removed (empty handler) when it goes.
void SetCommandHandler(Handler handler);

// Runs the command on the main thread and waits until it has been handled.
// False when there is no window (before start-up or after shutdown).
bool SendCommand(int command);

}  // namespace zk::window
