#include "commands/datastore/SQLiteWrapper.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string_view>

#include <openssl/crypto.h>

#include "base/RequestContext.h"
#include "commands/Envelope.h"
#include "commands/datastore/DataFolder.h"
#include "base/Log.h"
#include "base/Settings.h"
#include "base/CBase64.h"
#include "platform/Text.h"
#include "provider/Operations.h"

namespace zk {
namespace {

constexpr size_t kKeyLength = 32;
// Virtual machine steps between two looks at the clock and the client.
constexpr int kProgressSteps = 1000;
// What a result field costs beyond its name and text while the result
// document is built (elements, attribute and text nodes).
constexpr size_t kFieldCost = 256;

// Pragmas a page may run on its own database: settings of its own connection
// and file, and read-only descriptions of its schema. Every other one is
// refused: some name a path (temp_store_directory, data_store_directory) or
// reveal one (database_list), some change the whole process (soft_heap_limit,
// hard_heap_limit, threads) or undo the protections set at opening
// (trusted_schema, writable_schema), and some make a statement wait where no
// time limit reaches it (busy_timeout) or hold memory (cache_size, mmap_size).
constexpr std::string_view kAllowedPragmas[] = {
    "application_id",  "auto_vacuum",      "data_version",   "defer_foreign_keys", "encoding",
    "foreign_key_check", "foreign_key_list", "foreign_keys",  "freelist_count",   "incremental_vacuum",
    "index_info",      "index_list",       "index_xinfo",    "integrity_check",  "journal_mode",
    "optimize",        "page_count",       "page_size",      "quick_check",      "recursive_triggers",
    "schema_version",  "secure_delete",    "synchronous",    "table_info",       "table_list",
    "table_xinfo",     "user_version",     "wal_autocheckpoint", "wal_checkpoint",
};

bool AllowedPragma(const char* name) {
    if (!name) return false;
    for (std::string_view allowed : kAllowedPragmas)
        if (EqualNoCase(name, allowed)) return true;
    return false;
}

// Pages reach their own database only, through SQL alone:
// - attaching another file would let any page read or write every SQLite
//   file the user can reach (browser profiles included); VACUUM attaches a
//   nameless temporary database, which is allowed;
// - virtual tables run module code on the page's arguments: the full-text
//   module takes a tokenizer by its address, and its fts3_tokenizer()
//   hands out addresses inside the library (and accepts forged ones);
// - pragmas only from the list above.
int Authorize(void*, int action, const char* arg1, const char* arg2, const char*, const char*) {
    switch (action) {
        case SQLITE_ATTACH:
            return arg1 && *arg1 ? SQLITE_DENY : SQLITE_OK;
        case SQLITE_CREATE_VTABLE:
            return SQLITE_DENY;
        case SQLITE_FUNCTION:
            return arg2 && EqualNoCase(arg2, "fts3_tokenizer") ? SQLITE_DENY : SQLITE_OK;
        case SQLITE_PRAGMA:
            return AllowedPragma(arg1) ? SQLITE_OK : SQLITE_DENY;
        default:
            return SQLITE_OK;
    }
}

// False when a protection could not be set: the connection is not used then.
bool Restrict(sqlite3* db) {
    bool ok = sqlite3_set_authorizer(db, Authorize, nullptr) == SQLITE_OK;
    ok = sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr) == SQLITE_OK && ok;
    ok = sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr) == SQLITE_OK && ok;
    ok = sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_FTS3_TOKENIZER, 0, nullptr) == SQLITE_OK && ok;
    ok = sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr) == SQLITE_OK && ok;
    return ok;
}

bool CanProtect(int libIndex) { return libIndex >= 0 && provider::HasPageCipher(); }

}  // namespace

SecretString ShapeDatabaseKey(const std::string& keyText) {
    std::string key = keyText.substr(0, kKeyLength);
    key.resize(kKeyLength, ' ');
    return SecretString(std::move(key));
}

cSQLst::cSQLst(std::string name, bool isProtected, SecretString key)
    : name_(std::move(name)), protected_(isProtected), key_(std::move(key)) {}

cSQLst::~cSQLst() { Close(); }

void cSQLst::Logger(void*, int code, const char* message) {
    ZLOG("cSQLst::Logger", "SQLite - Result: '%d', Msg: '%s'", code, message ? message : "");
}

// The error log must be configured before SQLite initialises.
void cSQLst::ConfigureSqliteOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        int rc = sqlite3_config(SQLITE_CONFIG_LOG, &cSQLst::Logger, nullptr);
        if (rc != SQLITE_OK) ZLOG("cSQLst", "SQLite error log not routed: %d", rc);
        sqlite3_initialize();
    });
}

int cSQLst::Open() {
    ConfigureSqliteOnce();
    libIndex_ = provider::SelectLibrary("QLB");
    if (protected_) {
        if (CanProtect(libIndex_)) vfs_ = ProtectedVfs::Register(name_, key_, libIndex_);
        if (!vfs_) {
            // Never fall back to an unprotected file.
            ZLOG("cSQLst::Open", "Database '%s' cannot be protected", name_.c_str());
            return lastResult_ = provider::kMissingOperation;
        }
    }
    const std::optional<std::string> folder = DataFolder();
    if (!folder) {
        ZLOG("cSQLst::Open", "Database '%s' not opened: the data folder is not a folder", name_.c_str());
        vfs_.reset();
        return lastResult_ = SQLITE_CANTOPEN;
    }
    path_ = *folder + "/" + name_ + ".db";  // the name is ASCII letters and digits
    // A link in place of the database file is not followed.
    lastResult_ = sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW,
                                  vfs_ ? vfs_->Name() : nullptr);
    if (lastResult_ == SQLITE_OK) {
        if (Restrict(db_)) {
            sqlite3_progress_handler(db_, kProgressSteps, &cSQLst::Progress, this);
            return lastResult_;
        }
        ZLOG("cSQLst::Open", "Database '%s' not opened: its protections could not be set", name_.c_str());
        Close();  // answered "database not opened"
        return lastResult_ = SQLITE_CANTOPEN;
    }
    ZLOG("cSQLst::Open", "Database '%s' not opened: %d", name_.c_str(), lastResult_);
    if (db_) lastError_ = sqlite3_errmsg(db_);  // SQLite hands out a handle even then
    Close();
    return lastResult_;
}

bool cSQLst::KeyMatches(bool isProtected, const SecretString& key) const {
    if (!protected_) return true;  // nothing to guard
    const std::string& mine = key_.str();
    return isProtected && key.str().size() == mine.size() &&
           CRYPTO_memcmp(key.str().data(), mine.data(), mine.size()) == 0;
}

// Non-zero stops the running statement with SQLITE_INTERRUPT.
int cSQLst::Progress(void* self) {
    return RequestCancelled() || std::chrono::steady_clock::now() >= static_cast<cSQLst*>(self)->deadline_;
}

void cSQLst::Close() {
    if (db_) {
        int rc = sqlite3_close(db_);
        if (rc != SQLITE_OK) {
            ZLOG("cSQLst::Close", "Database '%s' close: %d", name_.c_str(), rc);
            // Closed once its last statement ends; until then it may still use its layer.
            sqlite3_close_v2(db_);
            static_cast<void>(vfs_.release());  // deliberately left registered
        }
        db_ = nullptr;
    }
    vfs_.reset();  // after the last file of the layer is closed
    result_.reset();
}

int cSQLst::Execute(const std::string& sql) {
    if (!db_) return lastResult_ != SQLITE_OK ? lastResult_ : SQLITE_MISUSE;  // never opened
    result_.reset();
    resultBytes_ = 0;
    lastError_.clear();
    // The whole text shares one time limit: many statements just under it
    // cannot hold the connection (and a worker) for longer.
    deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(Host().sqlTimeout);
    const char* next = sql.c_str();
    int rc = SQLITE_OK;
    // Statement after statement, as sqlite3_exec runs them, with the column
    // types at hand for the rendering of each row.
    while (rc == SQLITE_OK && *next) {
        sqlite3_stmt* stmt = nullptr;
        rc = sqlite3_prepare_v2(db_, next, -1, &stmt, &next);
        if (rc != SQLITE_OK) break;
        if (!stmt) continue;  // blanks or a comment
        const int columns = sqlite3_column_count(stmt);
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            if (columns > 0 && !AddRow(stmt, columns)) {
                rc = SQLITE_TOOBIG;  // the answer could not be sent anyway
                lastError_ = sqlite3_errstr(rc);
                break;
            }
        }
        if (rc == SQLITE_DONE) rc = SQLITE_OK;
        sqlite3_finalize(stmt);
    }
    deadline_ = std::chrono::steady_clock::time_point::max();
    if (rc == SQLITE_INTERRUPT)
        ZLOG("cSQLst::Execute", "Database '%s': SQL stopped (%s)", name_.c_str(),
             RequestCancelled() ? "the client is gone" : "time limit");
    if (rc != SQLITE_OK && lastError_.empty()) lastError_ = sqlite3_errmsg(db_);
    if (rc != SQLITE_OK) result_.reset();
    return lastResult_ = rc;
}

bool cSQLst::AddRow(sqlite3_stmt* stmt, int columns) {
    if (!result_) {
        result_ = std::make_unique<tinyxml2::XMLDocument>();
        AddDeclaration(*result_);
        tinyxml2::XMLElement* root = result_->NewElement("DECLAR");
        root->SetAttribute("xmlns:xsi", kXsiNamespace);
        result_->InsertEndChild(root);
    }
    tinyxml2::XMLElement* row = result_->RootElement()->InsertNewChildElement("ROW");
    for (int i = 0; i < columns; ++i) {
        const char* name = sqlite3_column_name(stmt, i);
        if (!name) continue;
        tinyxml2::XMLElement* field = row->InsertNewChildElement("FIELD");
        field->SetAttribute("NAME", name);
        switch (sqlite3_column_type(stmt, i)) {
        case SQLITE_BLOB: {
            const void* bytes = sqlite3_column_blob(stmt, i);
            const int len = sqlite3_column_bytes(stmt, i);
            if (bytes && len > 0)
                field->SetText(Base64Encode(bytes, static_cast<size_t>(len)).c_str());
            else
                SetNil(field);
            break;
        }
        case SQLITE_NULL:
            SetNil(field);
            break;
        default: {
            const unsigned char* text = sqlite3_column_text(stmt, i);
            if (text && *text) field->SetText(reinterpret_cast<const char*>(text));
        }
        }
        // After the value is read: asking its size first could convert it.
        const size_t bytes = static_cast<size_t>(std::max(sqlite3_column_bytes(stmt, i), 0));
        resultBytes_ += kFieldCost + strlen(name) + bytes / 3 * 4 + 4;
    }
    return resultBytes_ <= Host().maxBody;
}

std::string cSQLst::ResultText() const { return result_ ? PrintDocument(*result_) : std::string(); }

std::string cSQLst::Message() const {
    if (!lastError_.empty()) return lastError_;
    if (db_) return sqlite3_errmsg(db_);
    return "database not opened";
}

}  // namespace zk
