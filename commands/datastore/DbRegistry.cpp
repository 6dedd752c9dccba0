#include "commands/datastore/DbRegistry.h"

#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>

#include "commands/datastore/LocalData.h"
#include "base/Log.h"
#include "base/Settings.h"

namespace zk {
namespace {

namespace fs = std::filesystem;

struct Registry {
    std::mutex lock;
    std::condition_variable released;  // a connection became free or was closed
    std::map<std::string, std::shared_ptr<cSQLst>> open;
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

bool RemoveFile(const fs::path& path) {
    std::error_code ec;
    fs::permissions(path, fs::perms::owner_write, fs::perm_options::add, ec);
    return fs::remove(path, ec) || !ec;  // a file already gone is no failure
}

// Regular files of the "Data" folder whose name passes the filter; subfolders stay.
template <typename Filter>
bool RemoveFiles(Filter keep) {
    std::error_code ec;
    const fs::path folder = WorkFolder("Data");
    if (!fs::exists(folder, ec)) return true;  // nothing was ever stored
    bool ok = true;
    fs::directory_iterator it(folder, ec), end;
    if (ec) return false;
    for (; it != end; it.increment(ec)) {
        if (ec) return false;
        std::error_code typeError;
        if (it->is_directory(typeError) || !keep(it->path().filename().string())) continue;
        if (it->path() == fs::path(UserDataPath())) {
            // The data blob of SAVE_DATA goes under its own lock.
            std::lock_guard dataLock(SettingsLock());
            ok = RemoveFile(it->path()) && ok;
        } else {
            ok = RemoveFile(it->path()) && ok;
        }
    }
    return ok && !ec;
}

}  // namespace

std::shared_ptr<cSQLst> AcquireDatabase(const std::string& name, bool isProtected, const SecretString& key) {
    Registry& r = TheRegistry();
    std::unique_lock held(r.lock);
    for (;;) {
        auto it = r.open.find(name);
        if (it == r.open.end()) {
            auto db = std::make_shared<cSQLst>(name, isProtected, key);
            db->Open();
            it = r.open.emplace(name, std::move(db)).first;
        }
        if (it->second->useCount == 0) {
            ++it->second->useCount;
            return it->second;
        }
        r.released.wait(held);
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
    // between its closing and the deletion of its files.
    const std::string prefix = name + ".";
    bool ok = RemoveFiles([&](const std::string& file) { return all || file.compare(0, prefix.size(), prefix) == 0; });
    if (!ok) ZLOG("DropDatabases", "Files of '%s' not all deleted", name.c_str());
    return ok;
}

}  // namespace zk
