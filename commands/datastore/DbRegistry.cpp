#include "commands/datastore/DbRegistry.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

#include "base/RequestContext.h"
#include "commands/datastore/LocalData.h"
#include "base/Log.h"
#include "base/Settings.h"
#include "platform/Files.h"

namespace zk {
namespace {

// How often a request waiting for a busy connection looks at its client.
constexpr auto kWaitStep = std::chrono::milliseconds(100);

struct Registry {
    std::mutex lock;
    std::condition_variable released;  // a connection became free or was closed
    std::map<std::string, std::shared_ptr<cSQLst>> open;
    uint64_t uses = 0;  // counts acquisitions: the order of last use
};

// Never destroyed: connections still open when the process ends are left to
// the operating system (SQLite keeps committed data safe, and a transaction
// cut off is rolled back when the database is opened next). Closing them
// during static destruction would run SQLite after the log and the provider
// are gone.
Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

// Waits (lock held by the caller) until the named connection is free, then
// closes it and removes it. A request that acquires it meanwhile is waited for
// too. The name is a copy: the registry's own key may go while waiting.
void CloseWhenFree(Registry& r, std::unique_lock<std::mutex>& held, const std::string name) {
    for (;;) {
        auto it = r.open.find(name);
        if (it == r.open.end()) return;
        if (it->second->useCount == 0) {
            it->second->Close();
            r.open.erase(it);
            r.released.notify_all();
            return;
        }
        r.released.wait(held);
    }
}

// Every open database holds file descriptors (the file, its journal or
// write-ahead log): without a bound, pages naming ever new databases would
// exhaust them and every other command that opens a file would fail. Closes
// the least recently used free connection while the registry is full; false
// when every connection is in use. A closed database opens again on its next
// use, a protected one only with its key, as on its first use.
bool MakeRoom(Registry& r) {
    while (r.open.size() >= kMaxOpenDatabases) {
        auto oldest = r.open.end();
        for (auto it = r.open.begin(); it != r.open.end(); ++it)
            if (it->second->useCount == 0 && (oldest == r.open.end() || it->second->lastUse < oldest->second->lastUse))
                oldest = it;
        if (oldest == r.open.end()) return false;
        oldest->second->Close();
        r.open.erase(oldest);
    }
    return true;
}

AcquiredDatabase Refusal(int code, const char* message) { return {nullptr, code, message}; }

}  // namespace

AcquiredDatabase AcquireDatabase(const std::string& name, bool isProtected, const SecretString& key) {
    Registry& r = TheRegistry();
    std::unique_lock held(r.lock);
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(Host().sqlTimeout);
    for (;;) {
        auto it = r.open.find(name);
        if (it == r.open.end() && MakeRoom(r)) {
            auto db = std::make_shared<cSQLst>(name, isProtected, key);
            db->Open();
            it = r.open.emplace(name, std::move(db)).first;
        }
        if (it != r.open.end()) {
            if (!it->second->KeyMatches(isProtected, key)) {
                ZLOG("AcquireDatabase", "Database '%s' is open with another key: refused", name.c_str());
                return Refusal(SQLITE_CANTOPEN, "database not opened");
            }
            if (it->second->useCount == 0) {
                ++it->second->useCount;
                it->second->lastUse = ++r.uses;
                return {it->second, SQLITE_OK, ""};
            }
        }
        if (RequestCancelled()) return Refusal(SQLITE_INTERRUPT, sqlite3_errstr(SQLITE_INTERRUPT));
        if (std::chrono::steady_clock::now() >= giveUp) return Refusal(SQLITE_BUSY, sqlite3_errstr(SQLITE_BUSY));
        r.released.wait_for(held, kWaitStep);
    }
}

void ReleaseDatabase(const std::shared_ptr<cSQLst>& db, bool forget) {
    Registry& r = TheRegistry();
    std::lock_guard held(r.lock);
    --db->useCount;
    if (forget) {
        auto it = r.open.find(db->Name());
        if (it != r.open.end() && it->second == db) r.open.erase(it);
        db->Close();
    }
    r.released.notify_all();
}

size_t OpenDatabaseCount() {
    Registry& r = TheRegistry();
    std::lock_guard held(r.lock);
    return r.open.size();
}

bool DropDatabases(const std::string& name) {
    Registry& r = TheRegistry();
    std::unique_lock held(r.lock);
    const bool all = name == "all";
    if (all) {
        while (!r.open.empty()) CloseWhenFree(r, held, r.open.begin()->first);
    } else {
        CloseWhenFree(r, held, name);
    }
    // Still under the registry lock, so that no request reopens a database
    // between its closing and the deletion of its files. Deletion works on
    // the folder's entries themselves: a link is deleted, never its target
    // (nor the target's mode changed), and a "Data" that is a link is refused.
    const std::string folder = WorkFolder("Data");
    const std::string prefix = name + ".";
    const std::string blob = files::BaseName(UserDataPath());
    auto matches = [&](const std::string& file) { return all || file.compare(0, prefix.size(), prefix) == 0; };
    bool ok = files::DeleteFilesIn(folder, [&](const std::string& file) { return file != blob && matches(file); });
    if (matches(blob)) {
        // The data blob of SAVE_DATA goes under its own lock.
        std::lock_guard dataLock(SettingsLock());
        ok = files::DeleteFilesIn(folder, [&](const std::string& file) { return file == blob; }) && ok;
    }
    if (!ok) ZLOG("DropDatabases", "Files of '%s' not all deleted", name.c_str());
    return ok;
}

}  // namespace zk
