// The life of the process: start-up in its fixed order, the main-thread
// message loop, and shutdown in reverse.
#include "host/Startup.h"

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "discovery/CertListFunc.h"
#include "discovery/CertStorage.h"
#include "discovery/SKListFunc.h"
#include "base/ErrorMessage.h"
#include "base/Log.h"
#include "base/Settings.h"
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
        // Another instance ends this one silently; a lock that cannot be
        // taken at all is the user's to know about.
        if (!instance.failure().empty()) {
            ShowError(instance.failure());
            return kFailed;
        }
        if (!updateCopy) return kFailed;
        SingleInstance waited(kInstanceMutex, SingleInstance::Wait::Forever);
        if (!waited.held()) {
            if (!waited.failure().empty()) ShowError(waited.failure());
            return kFailed;
        }
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
    RemoveLeftTemporaries();

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
