// The life of the process: start-up in its fixed order, the main-thread
// message loop, and shutdown in reverse.
#include "host/Startup.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "discovery/CertListFunc.h"
#include "discovery/CertsAtHand.h"
#include "discovery/CertStorage.h"
#include "discovery/keys/SKListFunc.h"
#include "base/ErrorMessage.h"
#include "base/Log.h"
#include "base/Settings.h"
#include "host/TrayActions.h"
#include "host/TrayIcon.h"
#include "host/TrustInstall.h"
#include "http/LocalTls.h"
#include "host/WindowCommands.h"
#include "commands/service/ServiceHost.h"
#include "http/HTTPServer.h"
#include "platform/CodePage.h"
#include "platform/Files.h"
#include "platform/FolderWatch.h"
#include "platform/MessageBox.h"
#include "platform/MessageLoop.h"
#include "platform/ModulePath.h"
#include "platform/MountWatch.h"
#include "platform/Process.h"
#include "platform/ProcessLimits.h"
#include "platform/SingleInstance.h"
#include "provider/Provider.h"
#include "resources/Resources.h"
#include "update/AutoUpdate.h"
#include "update/StagedUpdate.h"

namespace zk {
namespace {

constexpr const char* kInstanceMutex = "M21875313-5CDF-4599-A88A-F0214D0CBC3C";
constexpr int kFailed = -1;

// An update replaces the process image (see ReplaceWith); the next image
// finds this variable and waits for the single-instance lock instead of
// giving way. Its value counts the replacements in a row, so that an
// installation that keeps asking for one cannot loop.
constexpr const char* kRestartVariable = "ZELKORH_UPDATE_RESTART";
constexpr int kMaxRestartsInARow = 5;
// How long a restarted instance waits for the one that is ending.
constexpr auto kRestartLockWait = std::chrono::seconds(60);

// The replacements in a row that led to this process (0 for a normal start);
// the variable is removed so that programs this one starts do not see it.
int TakeRestartCount() {
    const char* value = getenv(kRestartVariable);
    int count = value ? std::max(1, atoi(value)) : 0;
    unsetenv(kRestartVariable);
    return count;
}

// Replaces this process by program (the same process id: a service manager
// sees the service go on). Returns only when that failed.
void ReplaceWith(const std::string& program, int restartCount) {
    process::ReplaceProcess({program}, {{kRestartVariable, std::to_string(restartCount + 1)}});
    ShowError("Неможливо запустити " + program + ": " + strerror(errno));
}

bool HasArgument(int argc, char** argv, const char* text) {
    for (int i = 1; i < argc; ++i)
        if (strstr(argv[i], text)) return true;
    return false;
}

// Settings, the working folders and the certificate storage.
bool Configure() {
    const std::string ini = ModulePathWithExtension(".ini");
    if (!files::Exists(ini)) {
        ShowError("Відсутній файл параметрів\r\n" + ini);
        return false;
    }
    LoadHostSettings();
    RefreshDrives();  // the fixed drives that discovery leaves out
    const std::string view = WorkFolder("View");
    files::CreateFolder(view);
    files::EmptyFolder(view);
    files::CreateFolder(WorkFolder("Cert"));
    PrepareCertStorage();
    return true;
}

// Temporary files of the atomic writer that a killed process left behind
// (where the file system could not keep them unnamed while written; one may
// be a copy of a key file): removed from the folders the service writes to.
// Only names of the writer's own pattern go; runs while no other thread writes.
void RemoveLeftTemporaries() {
    std::vector<std::string> folders = {ProgramFolder(), WorkFolder("Data"), WorkFolder("Cert"),
                                        WorkFolder("CertStorage")};
    for (const std::string& extra : {KeyPath(), Host().certPath})
        if (!extra.empty()) folders.push_back(extra);
    for (const std::string& folder : folders) {
        int removed = 0;
        files::DeleteFilesIn(
            folder,
            [&](const std::string& name) {
                const bool ours = files::IsAtomicTemporaryName(name);
                removed += ours;
                return ours;
            },
            files::FolderLink::Follow);
        if (removed) ZLOG("RunService", "Removed %d temporary file(s) left in '%s'", removed, folder.c_str());
    }
}

// One line for whoever started the service: where it listens, and the
// program folder it keeps its files in.
void SayListening() {
    std::string where;
    if (http::PlainPort()) where += "http://" + Host().host + ":" + std::to_string(http::PlainPort());
    if (http::TlsPort()) where += (where.empty() ? "" : " і ") + ("https://" + Host().host + ":" + std::to_string(http::TlsPort()));
    printf("ZelkorH %s слухає %s; тека програми %s\n", VersionText(), where.c_str(), ProgramFolder().c_str());
    fflush(stdout);
}

// The TLS port's certificate, made at the first start, and the browsers'
// trust in its local CA (the user's NSS database and Firefox profiles, and
// the system store when asked for).
bool PrepareTls() {
    if (!http::PrepareLocalTls(ProgramFolder())) return false;
    host::TrustOptions trust;
    trust.programFolder = ProgramFolder();
    const char* home = getenv("HOME");
    trust.home = home ? home : "";
    const char* config = getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') trust.configHome = config;  // relative values are to be ignored
    trust.systemStore = Host().systemTrust;
    return host::InstallLocalTrust(trust);
}

// The start-up background thread.
void StartInBackground() {
    LoadUserCertFolder();
    update::LoadUpdateBase();
    update::AutoUpdateInit();
    http::RunListeners();
}

// The hidden main window's part: its command handler, the tray icon (in a
// desktop session) and the device notifications.
class MainWindow {
public:
    MainWindow() {
        window::SetCommandHandler(tray::HandleCommand);
        SetUserAsker(tray::AskAtDesktop);
        SetServiceHost({update::CurrentStatus, [] { window::SendCommand(window::kKeyFolder); }});
        // The icon's image lives in "View" while the service runs (only where it is shown).
        const std::string icon = WorkFolder("View") + "/tray-icon.png";
        const std::string_view image = resources::TrayIcon();
        std::string why;
        if (!DesktopSession())
            why = "no desktop session";
        else if (!files::WriteAtomically(icon, image.data(), image.size()))
            why = "the icon cannot be written";
        if (why.empty() && tray::ShowTrayIcon(icon, [](int command) { loop::Post([command] { tray::HandleCommand(command); }); }, &why))
            ZLOG("RunService", "Tray icon shown");
        else
            ZLOG("RunService", "No tray icon: %s", why.c_str());
        // A medium with keys plugged in or out: the next listing scans again.
        devices_.Start([] {
            ZLOG("RunService", "Device change");
            CertListClear();
        });
        // So does a file made, changed or removed in the user's folders;
        // each rebuild watches them afresh (a folder may have come or gone).
        if (folders_.Start([] {
                ZLOG("RunService", "Change in a certificate or key folder");
                CertListClear();
            })) {
            SetCertListRebuildListener([this] { folders_.Watch(WatchedFolders(FolderWatch::kMaxFolders)); });
            folders_.Watch(WatchedFolders(FolderWatch::kMaxFolders));
        }
    }
    ~MainWindow() {
        SetCertListRebuildListener({});
        folders_.Stop();
        devices_.Stop();
        tray::RemoveTrayIcon();
        SetServiceHost({});
        SetUserAsker({});
        tray::CloseDialogs();
        window::SetCommandHandler({});
    }
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

private:
    MountWatch devices_;
    FolderWatch folders_;
};

}  // namespace

int RunService(int argc, char** argv) {
    loop::BlockQuitSignals();  // before any thread: the loop takes them through its queue
    process::ProtectProcess();  // before the first file is made: data, keys and log are the user's alone
    if (HasArgument(argc, argv, "-setup")) {
        Configure();
        return 0;
    }

    // The temporary copy that installs an update, and each program an update
    // replaces the running one with, waits for the instance that is ending.
    const bool updateCopy = ModulePath().find(".~") != std::string::npos;
    const int restarts = TakeRestartCount();
    SingleInstance instance(kInstanceMutex,
                            updateCopy || restarts ? SingleInstance::Wait::Bounded : SingleInstance::Wait::No,
                            kRestartLockWait);
    if (!instance.held()) {
        // A lock that cannot be taken at all is the user's to know about (a
        // message box); another instance only ends this one, saying so on
        // standard error (no dialog: a desktop may start the service twice).
        if (!instance.failure().empty())
            ShowError(instance.failure());
        else
            fprintf(stderr, "ZelkorH вже працює для цього користувача (блокування в %s): цей екземпляр завершується\n",
                    SingleInstance::LockFolder().c_str());
        return kFailed;
    }

    // Staged files of an update go into place; the process that must go on
    // in this one's place is started in it.
    bool pending = false;
    const update::ApplyResult applied = update::ApplyStagedUpdate(pending);
    if (applied.mustEnd() && restarts < kMaxRestartsInARow) {
        instance.Release();
        ReplaceWith(applied.next, restarts);
        return kFailed;
    }
    update::SetPendingMark(pending);

    if (!Configure()) return kFailed;
    process::RaiseOpenFileLimit();  // every connection holds a descriptor

    std::string error;
    if (provider::LoadProvider(error) != 0) ShowError(Cp1251ToUtf8(error));
    OfferCertsToProvider();  // issuers and services the provider is not given are looked for among ours

    if (Host().portS != 0 && !PrepareTls()) {
        ShowError("Неможливо встановити захищене підключення");
        provider::UnloadProvider();
        return kFailed;
    }
    if (!http::StartListeners()) {
        provider::UnloadProvider();
        return kFailed;
    }
    log::Start(ProgramFolder(), Host().log, Host().logMaxSize);
    ZLOG("RunService", "Started, version %s, ports %u and %u", VersionText(), http::PlainPort(), http::TlsPort());
    SayListening();
    RemoveLeftTemporaries();
    bool idle = true;

    int exitCode;
    {
        MainWindow window;  // before the start-up background thread, which starts accepting
        std::thread background(StartInBackground);
        exitCode = loop::Run();
        // The listeners stop before the window goes (a command may still ask for it).
        idle = http::StopListeners();
        background.join();
        update::AutoUpdateTerm();
    }

    // After an update was staged the service goes on as the program that installs it.
    const std::string next = update::RestartProgram();
    if (!idle) {
        // A command that ignores its cancellation holds a worker: after the
        // grace period the process ends without it (nothing it holds may be
        // freed while it runs).
        ZLOG("RunService", "Stopped");
        log::Stop();
        files::RemoveFolder(WorkFolder("View"));
        instance.Release();
        if (!next.empty()) ReplaceWith(next, 0);
        process::EndNow(exitCode);
    }
    ZLOG("RunService", "Stopped");
    log::Stop();
    http::TearDownListeners();
    CertListClear();  // the kept passwords' keys are closed while the provider is still there
    provider::UnloadProvider();
    files::RemoveFolder(WorkFolder("View"));
    instance.Release();
    if (!next.empty()) {
        ReplaceWith(next, 0);
        return kFailed;
    }
    return exitCode;
}

}  // namespace zk
