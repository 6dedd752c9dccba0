#include "host/WindowCommands.h"

#include <mutex>

#include "platform/MessageLoop.h"

namespace zk::window {
namespace {

std::mutex g_lock;
Handler g_handler;

Handler Current() {
    std::lock_guard guard(g_lock);
    return g_handler;
}

}  // namespace

void SetCommandHandler(Handler handler) {
    std::lock_guard guard(g_lock);
    g_handler = std::move(handler);
}

bool SendCommand(int command) {
    if (!Current()) return false;
    return loop::Send([command] {
        // Looked up again on the main thread: the window may have gone meanwhile.
        if (Handler handler = Current()) handler(command);
    });
}

}  // namespace zk::window
