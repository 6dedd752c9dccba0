#include "platform/MessageBox.h"

#include <cstdio>
#include <cstdlib>

#include "platform/Process.h"

namespace zk {

bool DesktopSession() {
    const char* x = getenv("DISPLAY");
    const char* wayland = getenv("WAYLAND_DISPLAY");
    return (x && *x) || (wayland && *wayland);
}

std::string OneLine(const std::string& text) {
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            line.push_back(' ');
        } else {
            line.push_back(c);
        }
    }
    return line;
}

void ShowErrorBox(const std::string& text) {
    fprintf(stderr, "%s\n", OneLine(text).c_str());
    fflush(stderr);
    if (!DesktopSession()) return;
    std::string zenity = process::FindProgram("zenity");
    if (zenity.empty()) return;
    std::string dialogText;
    for (char c : text)
        if (c != '\r') dialogText.push_back(c);
    process::Start({zenity, "--error", "--no-markup", "--title=Помилка", "--text=" + dialogText});
}

}  // namespace zk
