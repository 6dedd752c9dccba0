// The tray menu and what its commands do, with a scripted dialog
// runner in place of zenity: the folder choice stores a new folder once (and only a new one),
// a cancelled or second dialog changes nothing, the service's own folders are
// refused, the about box shows once at a time, "Вихід" ends the loop, and nothing opens without a desktop.
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "TestUtil.h"
#include "host/WindowCommands.h"
#include "base/Settings.h"
#include "host/TrayActions.h"
#include "platform/MessageLoop.h"
#include "platform/ModulePath.h"
#include "platform/Profile.h"

using namespace zk;

namespace {

// Records the dialogs asked for; each answers what the test says, optionally
// only once released.
class FakeDialogs {
public:
    FakeDialogs() {
        tray::SetDialogRunnerForTesting([this](const std::vector<std::string>& argv, const std::atomic<bool>* cancel) {
            std::unique_lock lock(mutex_);
            calls_.push_back(argv);
            changed_.notify_all();
            changed_.wait(lock, [&] { return released_ || cancel->load(); });
            if (!released_) return std::optional<process::Captured>();  // closed while open
            return answer_;
        });
    }
    ~FakeDialogs() {
        Release();
        tray::CloseDialogs();
        tray::SetDialogRunnerForTesting({});
    }
    void Answer(std::optional<process::Captured> answer, bool hold = false) {
        std::lock_guard lock(mutex_);
        answer_ = std::move(answer);
        released_ = !hold;
    }
    void Release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }
    // Waits until n dialogs have been asked for.
    std::vector<std::vector<std::string>> WaitCalls(size_t n) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(10), [&] { return calls_.size() >= n; });
        return calls_;
    }
    // Waits for the dialog threads (an answered dialog finishes its work first).
    void Settle() { tray::CloseDialogs(); }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::vector<std::string>> calls_;
    std::optional<process::Captured> answer_;
    bool released_ = true;
};

class TrayActionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved = ModulePath();
        SetModulePathForTesting(dir.file("ZelkorH"));
        const char* display = getenv("DISPLAY");
        savedDisplay = display ? display : "";
        setenv("DISPLAY", ":99", 1);
        SetUserCertFolder("");
        std::filesystem::create_directories(dir.path() / "keys");
    }
    void TearDown() override {
        SetUserCertFolder("");
        if (savedDisplay.empty()) unsetenv("DISPLAY"); else setenv("DISPLAY", savedDisplay.c_str(), 1);
        SetModulePathForTesting(saved);
    }
    std::string Kept() { return Profile::GetString(ParamsIniPath(), "common", "UsrCertPath", "<none>"); }

    zktest::TempDir dir;
    std::string saved, savedDisplay;
};

TEST_F(TrayActionsTest, MenuHasTheItemsInOrderWithTheirCommands) {
    std::vector<std::pair<std::string, int>> items;
    for (const tray::MenuItem& item : tray::Menu()) items.emplace_back(item.label ? item.label : "-", item.command);
    EXPECT_EQ(items, (std::vector<std::pair<std::string, int>>{{"Про програму...", 40009},
                                                               {"Каталог з ключами...", 40014},
                                                               {"-", 0},
                                                               {"Вихід", 40010}}));
    EXPECT_EQ(tray::AboutText(), std::string("ZelkorH ") + VersionText() + "\r\n© Розробники ZelkorH");
}

TEST_F(TrayActionsTest, ChosenFolderIsStoredOnceAndCancelChangesNothing) {
    FakeDialogs dialogs;
    const std::string keys = dir.file("keys");

    dialogs.Answer(std::nullopt);  // cancelled
    tray::HandleCommand(window::kKeyFolder);
    dialogs.WaitCalls(1);
    dialogs.Settle();
    EXPECT_EQ(UserCertFolder(), "");
    EXPECT_EQ(Kept(), "<none>");

    dialogs.Answer(process::Captured{0, keys + "\n"});
    tray::HandleCommand(window::kKeyFolder);
    auto calls = dialogs.WaitCalls(2);
    dialogs.Settle();
    EXPECT_EQ(std::vector<std::string>(calls[1].begin() + 1, calls[1].end()),
              (std::vector<std::string>{"--file-selection", "--directory", "--title=Каталог з ключами"}));
    EXPECT_EQ(UserCertFolder(), keys);
    EXPECT_EQ(Kept(), keys);

    // The same folder again: Params.ini is not written again (gone stays gone).
    std::filesystem::remove(ParamsIniPath());
    tray::HandleCommand(window::kKeyFolder);
    calls = dialogs.WaitCalls(3);
    dialogs.Settle();
    EXPECT_EQ(calls[2].back(), "--filename=" + keys + "/");  // the current folder is offered first
    EXPECT_EQ(Kept(), "<none>");

    // A closed dialog that printed a path (exit status 1), and a relative path, change nothing.
    for (process::Captured answer : {process::Captured{1, dir.file("other") + "\n"}, process::Captured{0, "relative\n"}}) {
        dialogs.Answer(answer);
        tray::HandleCommand(window::kKeyFolder);
        dialogs.Settle();
    }
    EXPECT_EQ(UserCertFolder(), keys);
}

TEST_F(TrayActionsTest, TheServicesOwnFoldersAreRefusedWithCode53sMessage) {
    FakeDialogs dialogs;
    std::filesystem::create_directories(dir.path() / "Data" / "sub");
    std::filesystem::create_directories(dir.path() / "Cert");
    std::filesystem::create_directory_symlink(dir.file("Data"), dir.file("keys/data-link"));
    size_t asked = 0;
    for (const std::string& folder : {dir.str(), dir.file("Data/sub"), dir.file("keys/data-link"),
                                     dir.file("Cert/../Data"), dir.file("missing")}) {
        SCOPED_TRACE(folder);
        dialogs.Answer(process::Captured{0, folder + "\n"});
        tray::HandleCommand(window::kKeyFolder);
        asked += 2;  // the choice, then the refusal
        auto calls = dialogs.WaitCalls(asked);
        dialogs.Settle();
        ASSERT_EQ(calls.size(), asked);
        EXPECT_EQ(std::vector<std::string>(calls.back().begin() + 1, calls.back().end()),
                  (std::vector<std::string>{"--error", "--no-markup", "--title=Помилка",
                                            "--text=Відсутній файл секретного ключа"}));
        EXPECT_EQ(UserCertFolder(), "");
        EXPECT_EQ(Kept(), "<none>");
    }
    EXPECT_FALSE(tray::StoreChosenFolder(dir.file("Data")));
    EXPECT_TRUE(tray::StoreChosenFolder(dir.file("keys")));  // a folder for keys beside them
}

TEST_F(TrayActionsTest, EachDialogOpensOnceAtATime) {
    FakeDialogs dialogs;
    dialogs.Answer(process::Captured{0, ""}, /*hold=*/true);
    tray::HandleCommand(window::kAbout);
    dialogs.WaitCalls(1);
    tray::HandleCommand(window::kAbout);  // still open: ignored
    tray::HandleCommand(window::kKeyFolder);  // another dialog may open beside it
    auto calls = dialogs.WaitCalls(2);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0][1], "--info");
    EXPECT_EQ(calls[0].back(), "--text=" + tray::AboutText());
    EXPECT_EQ(calls[1][1], "--file-selection");
    dialogs.Release();
    dialogs.Settle();
    tray::HandleCommand(window::kAbout);  // closed: opens again
    EXPECT_EQ(dialogs.WaitCalls(3).size(), 3u);
}

TEST_F(TrayActionsTest, NoDesktopNoDialogAndExitEndsTheLoop) {
    FakeDialogs dialogs;
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    tray::HandleCommand(window::kKeyFolder);
    tray::HandleCommand(window::kAbout);
    dialogs.Settle();
    EXPECT_TRUE(dialogs.WaitCalls(0).empty());

    // "Вихід" through the window's command, sent from another thread as SELECT_KEY_FOLDER sends its own.
    window::SetCommandHandler(tray::HandleCommand);
    std::thread sender([] {
        // Until the loop runs (a loop that ran before in this process refuses until then).
        for (int i = 0; i < 500 && !window::SendCommand(window::kExit); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    EXPECT_EQ(loop::Run(), 0);
    sender.join();
    window::SetCommandHandler({});
    EXPECT_FALSE(window::SendCommand(window::kExit));  // no window: nothing to send to
}

}  // namespace
