// What the main window's commands do (its tray menu items, and the key
// folder choice that SELECT_KEY_FOLDER asks for): the about box, the choice
// of the user certificate folder and the end of the program. Dialogs are
// zenity's, each on a thread of its own and each at most once at a time;
// without a desktop session none is offered.
#pragma once
#include <atomic>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/UserQuestion.h"
#include "platform/Process.h"

namespace zk::tray {

// One item of the tray menu; command 0 is a separator.
struct MenuItem {
    const char* label;
    int command;
};
// The menu, in order; the first item is the default one.
std::span<const MenuItem> Menu();

// The product title (the tray icon's tip) and the about box's text: the
// title, a space and the version, a line break and the credit line.
const char* ProductTitle();
std::string AboutText();

// Runs a command of the main window; on the main thread.
void HandleCommand(int command);

// Stores a folder the user chose as the user certificate folder: when it is
// one the searches may use (discovery/FolderScan.h AcceptableKeyFolder: not
// one of the service's own folders) and differs from the current one (exact
// text), under the settings lock it becomes current, the certificate list is
// invalidated and "UsrCertPath" of Params.ini is written. True when it
// changed. A refused choice is shown with the message of code 53.
bool StoreChosenFolder(const std::string& folder);

// Asks the user a yes/no question (UserQuestion.h) in a dialog, one at a
// time, on the calling thread; unanswered after a minute it counts as "no".
UserAnswer AskAtDesktop(const std::string& question);

// Closes open dialogs and waits for their threads (shutdown).
void CloseDialogs();

// How dialogs are run (tests put a scripted runner in place of zenity here); an empty
// runner restores process::RunCaptured.
using DialogRunner = std::function<std::optional<process::Captured>(const std::vector<std::string>& argv,
                                                                     const std::atomic<bool>* cancel)>;
void SetDialogRunnerForTesting(DialogRunner runner);

}  // namespace zk::tray
