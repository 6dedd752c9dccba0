// The life of the process: start-up in its fixed order, the main-thread
// message loop, and shutdown in reverse.
#include "host/Startup.h"

#include <cstring>
#include <string>
#include <thread>

#include "discovery/CertListFunc.h"
#include "discovery/CertStorage.h"
#include "host/ErrorMessage.h"
#include "host/Log.h"
#include "host/Settings.h"
#include "http/HTTPServer.h"
#include "platform/CodePage.h"
#include "platform/Files.h"
#include "platform/MessageLoop.h"
#include "platform/ModulePath.h"
#include "platform/ProcessLimits.h"
#include "platform/SingleInstance.h"
#include "provider/Provider.h"

namespace zk {
namespace {

constexpr const char* kInstanceMutex = "M21875313-5CDF-4599-A88A-F0214D0CBC3C";
constexpr int kFailed = -1;

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

// The start-up background thread.
void StartInBackground() {
    LoadUserCertFolder();
    http::RunListeners();
}

}  // namespace

int RunService(int argc, char** argv) {
    loop::BlockQuitSignals();  // before any thread: the loop takes them through its queue
    process::ProtectProcess();  // before the first file is made: data, keys and log are the user's alone
    if (HasArgument(argc, argv, "-setup")) {
        Configure();
        return 0;
    }

    // The temporary copy that an update starts waits for the running instance to end.
    bool updateCopy = ModulePath().find(".~") != std::string::npos;
    SingleInstance instance(kInstanceMutex, SingleInstance::Wait::No);
    if (!instance.held()) {
        if (!updateCopy) return kFailed;
        SingleInstance waited(kInstanceMutex, SingleInstance::Wait::Forever);
        if (!waited.held()) return kFailed;
        waited.Release();
        return RunService(argc, argv);  // the lock is free now: take it as a normal start
    }

    if (!Configure()) return kFailed;
    process::RaiseOpenFileLimit();  // every connection holds a descriptor

    std::string error;
    if (provider::LoadProvider(error) != 0) ShowError(Cp1251ToUtf8(error));

    if (!http::StartListeners()) {
        provider::UnloadProvider();
        return kFailed;
    }
    log::Start(ProgramFolder(), Host().log, Host().logMaxSize);
    ZLOG("RunService", "Started, version %s, ports %u and %u", VersionText(), http::PlainPort(), http::TlsPort());

    std::thread background(StartInBackground);
    int exitCode = loop::Run();

    bool idle = http::StopListeners();
    background.join();
    if (!idle) {
        // A command that ignores its cancellation holds a worker: after the
        // grace period the process ends without it (nothing it holds may be
        // freed while it runs).
        ZLOG("RunService", "Stopped");
        log::Stop();
        files::RemoveFolder(WorkFolder("View"));
        instance.Release();
        process::EndNow(exitCode);
    }
    ZLOG("RunService", "Stopped");
    log::Stop();
    http::TearDownListeners();
    provider::UnloadProvider();
    files::RemoveFolder(WorkFolder("View"));
    instance.Release();
    return exitCode;
}

}  // namespace zk
