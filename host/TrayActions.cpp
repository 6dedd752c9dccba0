#include "host/TrayActions.h"

#include <mutex>
#include <thread>

#include "base/Log.h"
#include "base/RequestContext.h"
#include "base/Settings.h"
#include "commands/Messages.h"
#include "discovery/CertListFunc.h"
#include "host/WindowCommands.h"
#include "discovery/FolderScan.h"
#include "platform/CodePage.h"
#include "platform/Files.h"
#include "platform/MessageBox.h"
#include "platform/MessageLoop.h"
#include "platform/Profile.h"

namespace zk::tray {
namespace {

constexpr MenuItem kMenu[] = {
    {"Про програму...", window::kAbout},
    {"Каталог з ключами...", window::kKeyFolder},
    {nullptr, 0},
    {"Вихід", window::kExit},
};

constexpr const char* kCredit = "© Розробники ZelkorH";
constexpr int kQuestionSeconds = 60;  // a question nobody answers counts as "no"

// One dialog kind: its thread, its busy mark and the flag that closes it.
struct Dialog {
    std::thread thread;
    std::atomic<bool> busy{false};
    std::atomic<bool> close{false};
};

std::mutex g_lock;  // the dialogs' threads and the runner
Dialog g_about;
Dialog g_folder;
DialogRunner g_runner;

std::optional<process::Captured> RunDialog(const std::vector<std::string>& argv, const std::atomic<bool>* cancel) {
    DialogRunner runner;
    {
        std::lock_guard guard(g_lock);
        runner = g_runner;
    }
    return runner ? runner(argv, cancel) : process::RunCaptured(argv, cancel);
}

// The dialog program, or empty (logged) when no dialog can be shown: no
// desktop session, or zenity not installed (and no test runner set).
std::string DialogProgram(const char* what) {
    if (!DesktopSession()) {
        ZLOG("HandleCommand", "%s: no desktop session, not offered", what);
        return {};
    }
    bool standIn;
    {
        std::lock_guard guard(g_lock);
        standIn = static_cast<bool>(g_runner);
    }
    std::string zenity = process::FindProgram("zenity");
    if (zenity.empty() && !standIn) ZLOG("HandleCommand", "%s: zenity is not installed", what);
    if (zenity.empty() && standIn) zenity = "zenity";
    return zenity;
}

// Starts work on the dialog's thread unless that dialog is open.
void Open(Dialog& dialog, const char* what, std::function<void(const std::string& zenity)> work) {
    const std::string zenity = DialogProgram(what);
    if (zenity.empty()) return;
    if (dialog.busy.exchange(true)) return;  // already open
    std::lock_guard guard(g_lock);
    if (dialog.thread.joinable()) dialog.thread.join();  // the last one has ended (busy was clear)
    dialog.close = false;
    dialog.thread = std::thread([&dialog, work = std::move(work), zenity] {
        work(zenity);
        dialog.busy = false;
    });
}

void ChooseFolder(const std::string& zenity) {
    const std::string current = UserCertFolder();
    std::vector<std::string> argv = {zenity, "--file-selection", "--directory", "--title=Каталог з ключами"};
    if (!current.empty() && files::IsFolder(current)) argv.push_back("--filename=" + current + "/");
    std::optional<process::Captured> chosen = RunDialog(argv, &g_folder.close);
    if (!chosen || chosen->exitCode != 0) return;  // cancelled
    std::string folder = chosen->output;
    while (!folder.empty() && (folder.back() == '\n' || folder.back() == '\r')) folder.pop_back();
    if (folder.empty() || folder[0] != '/' || folder.find_first_of("\r\n") != std::string::npos) return;
    if (!StoreChosenFolder(folder) && !AcceptableKeyFolder(folder))
        RunDialog({zenity, "--error", "--no-markup", "--title=Помилка", "--text=" + Cp1251ToUtf8(ReturnMessage(ZK_E_NO_KEY_FILE))},
                  &g_folder.close);
}

std::atomic<bool> g_asking{false};  // a question is open

void ShowAbout(const std::string& zenity) {
    RunDialog({zenity, "--info", "--no-markup", "--title=Про програму", "--text=" + AboutText()}, &g_about.close);
}

}  // namespace

std::span<const MenuItem> Menu() { return kMenu; }

const char* ProductTitle() { return "ZelkorH"; }

std::string AboutText() { return std::string(ProductTitle()) + " " + VersionText() + "\r\n" + kCredit; }

void HandleCommand(int command) {
    switch (command) {
        case window::kAbout:
            Open(g_about, "About", ShowAbout);
            break;
        case window::kKeyFolder:
            Open(g_folder, "Keys folder", ChooseFolder);
            break;
        case window::kExit:
            loop::PostQuit(0);
            break;
        default:
            break;
    }
}

bool StoreChosenFolder(const std::string& folder) {
    if (!AcceptableKeyFolder(folder)) {
        ZLOG("SelectUserCertFolder", "Not a folder for keys: '%s'", folder.c_str());
        return false;
    }
    std::lock_guard lock(SettingsLock());
    if (UserCertFolderLocked() == folder) return false;
    SetUserCertFolderLocked(folder);
    CertListClear();  // the one lock taken under the settings lock
    if (!Profile::WriteString(ParamsIniPath(), "common", "UsrCertPath", folder))
        ZLOG("SelectUserCertFolder", "UsrCertPath was not written");
    ZLOG("SelectUserCertFolder", "User certificate folder: '%s'", folder.c_str());
    return true;
}

UserAnswer AskAtDesktop(const std::string& question) {
    const std::string zenity = DialogProgram("Question");
    if (zenity.empty()) return UserAnswer::NobodyToAsk;
    if (g_asking.exchange(true)) return UserAnswer::Busy;
    // Closed unanswered when its time runs out or the page's request ends
    // (its client gone, or the service stopping).
    std::optional<process::Captured> answer =
        RunDialog({zenity, "--question", "--no-markup", "--title=" + std::string(ProductTitle()),
                   "--ok-label=Дозволити", "--cancel-label=Відмовити",
                   "--timeout=" + std::to_string(kQuestionSeconds), "--text=" + question},
                  CurrentRequest().cancelled);
    g_asking = false;
    return answer && answer->exitCode == 0 ? UserAnswer::Yes : UserAnswer::No;
}

void CloseDialogs() {
    for (Dialog* dialog : {&g_about, &g_folder}) {
        dialog->close = true;
        std::thread ending;
        {
            std::lock_guard guard(g_lock);
            ending = std::move(dialog->thread);
        }
        if (ending.joinable()) ending.join();
    }
}

void SetDialogRunnerForTesting(DialogRunner runner) {
    std::lock_guard guard(g_lock);
    g_runner = std::move(runner);
}

}  // namespace zk::tray
