#include "update/AutoUpdate.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <future>
#include <mutex>
#include <thread>

#include "base/Log.h"
#include "base/Settings.h"
#include "commands/service/ServiceHost.h"
#include "platform/Files.h"
#include "platform/HttpTransfer.h"
#include "platform/MessageLoop.h"
#include "platform/ModulePath.h"
#include "platform/Profile.h"
#include "platform/Text.h"
#include "update/DigestList.h"
#include "update/ExecSignature.h"
#include "update/StagedUpdate.h"

#ifndef ZELKOR_UPDATE_URL
#define ZELKOR_UPDATE_URL "https://update.zelkorh.invalid/upd"
#endif

namespace zk::update {
namespace {

constexpr const char* kList = "digest.txt";
constexpr const char* kListSignature = "digest.txt.sig";
constexpr size_t kMaxBase = 2083;
constexpr uint64_t kMaxListBytes = 1 << 20;
constexpr uint64_t kMaxSignatureBytes = 64 << 10;
constexpr uint64_t kMaxFileBytes = 256ull << 20;
constexpr int kAttempts = 5;
constexpr long kAttemptSeconds = 30;
constexpr time_t kRunEvery = 4 * 3600;
constexpr time_t kRetryAfterFailure = 3600;

// Guarded by the settings lock.
std::string g_base;
bool g_force = false;
bool g_pending = false;

std::atomic<bool> g_stop{false};
std::mutex g_threadLock;  // the thread's lifetime and the restart program
std::condition_variable g_wake;
std::thread g_thread;
bool g_threadEnded = true;
std::string g_restartProgram;

// A settings path as given, or relative to the program folder.
std::string SettingsPath(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    return ProgramFile(path);
}

// What the runs found, for GET_UPDATE_INFO (CurrentStatus).
std::mutex g_statusLock;
UpdateStatus g_status;

void NoteFound(bool newVersion, bool restarting) {
    std::lock_guard hold(g_statusLock);
    g_status.newVersion = newVersion;
    g_status.restarting = restarting;
}

void NoteRun(bool ok) {
    std::lock_guard hold(g_statusLock);
    g_status.enabled = Host().autoUpdate;
    g_status.lastRun = time(nullptr);
    g_status.lastRunOk = ok;
}

struct Fetched {
    std::vector<uint8_t> bytes;
    std::string md5;
    bool absent = false;  // the server said it has no such file
};

// One file of the update folder on the server (_GetFileHTTP).
bool GetFileHTTP(const std::string& base, const std::string& name, uint64_t limit, Fetched& out) {
    net::TransferRequest request;
    request.url = FileAddress(base, name);
    request.caFile = SettingsPath(Host().updateCA);
    request.environmentProxy = true;  // a proxy the user's session names is the way out
    request.connectTimeoutSeconds = kAttemptSeconds;
    request.totalTimeoutSeconds = kAttemptSeconds;
    request.maxResponseBytes = limit;
    request.cancel = &g_stop;
    net::TransferResult result = net::TransferWithRetries(request, kAttempts, std::chrono::seconds(1));
    std::string error = result.error;
    if (result.ok() && result.body.empty()) error = "empty file";
    if (result.httpStatus == 404) out.absent = true;
    if (!result.ok() || result.body.empty()) {
        ZLOG("_GetFileHTTP", "_GetFileHTTP( '%s' ), Error: %s", name.c_str(), error.c_str());
        return false;
    }
    out.bytes = std::move(result.body);
    out.md5 = Md5Hex(out.bytes.data(), out.bytes.size());
    return true;
}

// A server's "not found" page served with a success status.
bool NotFoundPage(const std::vector<uint8_t>& bytes) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return text.size() > 9 && text.substr(0, 9) == "<!DOCTYPE" &&
           (text.find("<title>404") != std::string_view::npos || text.find("<TITLE>404") != std::string_view::npos);
}

// The local digest list with the MD5 of each listed file as it is on disk
// (empty for a file that is missing) (_GetLstFl).
bool GetLocalList(DigestList& list) {
    auto text = files::ReadAll(ProgramFile(kList), kMaxListBytes);
    if (!text || !ParseDigestList(std::string_view(reinterpret_cast<const char*>(text->data()), text->size()), list) ||
        list.empty())
        return false;
    for (auto& [name, md5] : list) {
        const std::string path = ProgramFile(name);
        if (!files::Exists(path)) {
            md5.clear();
            continue;
        }
        uint64_t bytes = 0;
        auto digest = FileMd5Hex(path, kMaxFileBytes, &bytes);
        if (!digest || bytes == 0) return false;
        md5 = std::move(*digest);
    }
    return true;
}

// What to fetch, and the server's list as fetched (and checked) (_CheckNeedUpdate).
bool CheckNeedUpdate(const std::string& base, DigestList& wanted, std::vector<uint8_t>& serverList) {
    wanted.clear();
    DigestList local;
    if (!GetLocalList(local)) {
        ZLOG("_CheckNeedUpdate", "AutoUpdate !_GetLstFl( '%s' )", ProgramFile(kList).c_str());
        return false;
    }
    Fetched list;
    if (!GetFileHTTP(base, kList, kMaxListBytes, list)) {
        ZLOG("_CheckNeedUpdate", "AutoUpdate !_GetFileHTTP( '%s' )", kList);
        return false;
    }
    if (const std::string signer = SettingsPath(Host().updateSigner); !signer.empty()) {
        Fetched signature;
        if (!GetFileHTTP(base, kListSignature, kMaxSignatureBytes, signature) ||
            !VerifyDetachedSignature(kList, list.bytes, signature.bytes, signer)) {
            ZLOG("_CheckNeedUpdate", "AutoUpdate !VerifyDetachedSignature( '%s' )", kList);
            return false;
        }
    }
    DigestList server;
    std::string why;
    const std::string text(list.bytes.begin(), list.bytes.end());
    if (!ParseDigestList(text, server, &why)) {
        ZLOG("_CheckNeedUpdate", "AutoUpdate !_BuildLstFl( '%s' )", text.c_str());
        ZLOG("_CheckNeedUpdate", "AutoUpdate digest list refused: %s", why.c_str());
        return false;
    }
    for (const auto& [name, md5] : server) {
        if (EqualNoCase(name, kList)) continue;
        auto it = local.find(name);
        if (it == local.end() || !SameDigest(it->second, md5)) wanted[name] = md5;
    }
    // The list goes with the files: the copy fetched and checked above, not a
    // second download that could differ from it.
    if (!wanted.empty()) {
        wanted[kList] = "";
        serverList = std::move(list.bytes);
    }
    return true;
}

// The mode of a new file: that of the file it replaces, else executable for
// programs (ELF or "#!") and plain for the rest. The process keeps its files
// private to the user (umask 077).
int ModeFor(const std::string& name, const std::vector<uint8_t>& bytes) {
    if (auto mode = files::FileMode(ProgramFile(name))) return *mode;
    const bool program = (bytes.size() >= 4 && memcmp(bytes.data(), "\x7f" "ELF", 4) == 0) ||
                         (bytes.size() >= 2 && bytes[0] == '#' && bytes[1] == '!');
    return program ? 0700 : 0600;
}

// Fetches one entry, checks it and writes it into the download folder (_SaveFileHTTP).
bool SaveFileHTTP(const std::string& base, const std::string& name, const std::string& md5,
                  const std::vector<uint8_t>& serverList, const std::string& folder) {
    Fetched file;
    if (name == kList) {
        file.bytes = serverList;
    } else if (!GetFileHTTP(base, name, kMaxFileBytes, file)) {
        if (file.absent) {
            ZLOG("_SaveFileHTTP", "AutoUpdate File '%s' is absent", name.c_str());
        } else {
            ZLOG("_SaveFileHTTP", "AutoUpdate !_GetFileHTTP( '%s' )", name.c_str());
        }
        return false;
    }
    if (NotFoundPage(file.bytes)) {
        ZLOG("_SaveFileHTTP", "AutoUpdate File '%s' is absent", name.c_str());
        return false;
    }
    if (!md5.empty() && !SameDigest(md5, file.md5)) {
        ZLOG("_SaveFileHTTP", "AutoUpdate File '%s', md5 loaded: '%s', md5 listed: '%s'", name.c_str(),
             file.md5.c_str(), md5.c_str());
        return false;
    }
    const std::string path = folder + "/" + name;
    if (!files::WriteAtomically(path, file.bytes.data(), file.bytes.size(), ModeFor(name, file.bytes))) {
        unlink(path.c_str());
        ZLOG("_SaveFileHTTP", "AutoUpdate !WriteFile( '%s' )", path.c_str());
        return false;
    }
    return true;
}

void Discard(const std::string& folder) {
    files::RemoveFolder(folder);
}

// One run (_RunUpd).
bool RunUpd() {
    if (!Host().autoUpdate) {
        std::lock_guard lock(SettingsLock());
        g_force = false;
        return true;
    }
    std::string base;
    {
        std::lock_guard lock(SettingsLock());
        base = g_base;
        g_force = false;
        if (g_pending) {
            g_pending = false;
            return false;
        }
    }
    ZLOG("_RunUpd", "AutoUpdate Run at '%s'", base.c_str());
    if (base.empty()) return true;

    DigestList wanted;
    std::vector<uint8_t> serverList;
    if (!CheckNeedUpdate(base, wanted, serverList)) {
        ZLOG_PLAIN("_RunUpd", "AutoUpdate !_CheckNeedUpdate");
        return false;
    }
    if (wanted.empty()) {
        ZLOG_PLAIN("_RunUpd", "AutoUpdate No files to update");
        NoteFound(false, false);
        return true;
    }
    NoteFound(true, false);
    const std::string folder = WorkFolder("Updates");
    if (!files::CreateFolder(folder)) {
        ZLOG("_RunUpd", "AutoUpdate !CreateDirectory( '%s' )", folder.c_str());
        return false;
    }
    files::EmptyFolder(folder);
    for (const auto& [name, md5] : wanted) {
        if (g_stop) {
            Discard(folder);
            return false;
        }
        if (!SaveFileHTTP(base, name, md5, serverList, folder)) {
            if (!g_stop) ZLOG("_RunUpd", "AutoUpdate !_SaveFileHTTP, file: '%s', md5: '%s'", name.c_str(), md5.c_str());
            Discard(folder);
            return false;
        }
        ZLOG("_RunUpd", "AutoUpdate _SaveFileHTTP, file: '%s', md5: '%s'", name.c_str(), md5.c_str());
    }
    DeleteStagingLeftovers();
    for (const auto& [name, md5] : wanted) {
        const std::string from = folder + "/" + name;
        const std::string to = ProgramFile(name) + ".~";
        if (rename(from.c_str(), to.c_str()) != 0) {
            ZLOG("_RunUpd", "AutoUpdate !_MoveFileEx, from: '%s', to: '%s'", from.c_str(), to.c_str());
            DeleteStagingLeftovers();
            Discard(folder);
            return false;
        }
    }
    Discard(folder);
    if (g_stop) return false;
    if (!PrepareTemporaryCopy()) {
        ZLOG("_RunUpd", "AutoUpdate !CopyFile( '%s' )", TemporaryCopyPath().c_str());
        return false;
    }
    {
        std::lock_guard lock(g_threadLock);
        g_restartProgram = TemporaryCopyPath();
    }
    ZLOG("_RunUpd", "AutoUpdate Restart through '%s'", TemporaryCopyPath().c_str());
    NoteFound(true, true);
    loop::PostQuit(0);  // the service ends and is replaced by the temporary copy
    return true;
}

bool Due(time_t last, time_t now) {
    std::lock_guard lock(SettingsLock());
    return last == 0 || now - last > kRunEvery || last > now || g_force;
}

void UpdateThread(std::promise<void>* started) {
    started->set_value();
    time_t last = Profile::GetInt(ParamsIniPath(), "common", "PrevUpd", 0);
    while (!g_stop) {
        const time_t now = time(nullptr);
        if (Due(last, now)) {
            const bool ok = RunUpd();
            NoteRun(ok);
            last = ok ? now : now - (kRunEvery - kRetryAfterFailure);
            std::lock_guard lock(SettingsLock());
            Profile::WriteString(ParamsIniPath(), "common", "PrevUpd", std::to_string(static_cast<unsigned long>(last)));
            Profile::WriteString(ParamsIniPath(), "common", "Path", g_base);
        }
        std::unique_lock lock(g_threadLock);
        g_wake.wait_for(lock, std::chrono::milliseconds(100), [] { return g_stop.load(); });
    }
    std::lock_guard lock(g_threadLock);
    g_threadEnded = true;
    g_wake.notify_all();
}

}  // namespace

const char* BuiltInBase() { return ZELKOR_UPDATE_URL; }

std::string ConfiguredBase(std::string* why) {
    const std::string& url = Host().updateUrl;
    if (url.empty()) return BuiltInBase();
    std::string reason;
    if (!StartsWithNoCase(url, "https://") || url.size() <= 8)
        reason = "not an https address";
    else if (url.size() > kMaxBase)
        reason = "longer than " + std::to_string(kMaxBase) + " characters";
    for (char c : url)
        if (static_cast<unsigned char>(c) <= 32 || c == 127) reason = "blank or control character";
    if (reason.empty()) return url;
    if (why) *why = reason;
    return {};
}

void SetPendingMark(bool pending) {
    std::lock_guard lock(SettingsLock());
    g_pending = pending;
}

void LoadUpdateBase() {
    const std::string path = TrimBlanks(Profile::GetString(ParamsIniPath(), "common", "Path", "", kMaxBase));
    std::string why;
    const std::string base = ConfiguredBase(&why);
    if (!why.empty()) ZLOG("LoadUpdateBase", "AutoUpdate UpdateUrl '%s' refused: %s", Host().updateUrl.c_str(), why.c_str());
    std::lock_guard lock(SettingsLock());
    if (!path.empty()) g_force = Host().autoUpdate;
    g_base = base;
}

void AutoUpdateInit() {
    ZLOG("AutoUpdateInit", "Start. AutoUpdate %s", Host().autoUpdate ? "enabled" : "disabled");
    {
        std::lock_guard hold(g_statusLock);
        g_status = UpdateStatus{};
        g_status.enabled = Host().autoUpdate;
    }
    std::lock_guard lock(g_threadLock);
    if (g_thread.joinable()) return;
    g_stop = false;
    g_threadEnded = false;
    // Running before this returns: the start-up thread goes on to accept
    // connections, which may take every descriptor left.
    std::promise<void> started;
    g_thread = std::thread(UpdateThread, &started);
    started.get_future().wait();
}

void AutoUpdateTerm() {
    g_stop = true;
    std::unique_lock lock(g_threadLock);
    g_wake.notify_all();
    if (g_thread.joinable()) {
        // Transfers end at once when cancelled; a thread still busy after ten
        // seconds (a slow disk) is left to end with the process.
        if (g_wake.wait_for(lock, std::chrono::seconds(10), [] { return g_threadEnded; })) {
            lock.unlock();
            g_thread.join();
        } else {
            g_thread.detach();
        }
    }
    ZLOG_PLAIN("AutoUpdateTerm", "Finish");
}

UpdateStatus CurrentStatus() {
    std::lock_guard hold(g_statusLock);
    return g_status;
}

bool RunUpdateOnce() { return RunUpd(); }

std::string RestartProgram() {
    std::lock_guard lock(g_threadLock);
    return g_restartProgram;
}

}  // namespace zk::update
