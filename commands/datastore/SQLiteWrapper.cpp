#include "commands/datastore/SQLiteWrapper.h"

#include <mutex>

#include "commands/Envelope.h"
#include "base/Log.h"
#include "base/Settings.h"
#include "base/CBase64.h"
#include "platform/Files.h"
#include "provider/Operations.h"

namespace zk {
namespace {

constexpr size_t kKeyLength = 32;

// Pages reach their own database only: attaching another file would let any
// page read or write every SQLite file the user can reach (browser profiles
// included). VACUUM attaches a nameless temporary database, which is allowed.
int Authorize(void*, int action, const char* file, const char*, const char*, const char*) {
    return action == SQLITE_ATTACH && file && *file ? SQLITE_DENY : SQLITE_OK;
}

void Restrict(sqlite3* db) {
    sqlite3_set_authorizer(db, Authorize, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
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
    const std::string folder = WorkFolder("Data");
    files::CreateFolder(folder);
    path_ = folder + "/" + name_ + ".db";  // the name is ASCII letters and digits
    lastResult_ = sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                                  vfs_ ? vfs_->Name() : nullptr);
    if (lastResult_ == SQLITE_OK) {
        Restrict(db_);
        return lastResult_;
    }
    ZLOG("cSQLst::Open", "Database '%s' not opened: %d", name_.c_str(), lastResult_);
    if (db_) lastError_ = sqlite3_errmsg(db_);  // SQLite hands out a handle even then
    Close();
    return lastResult_;
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
    lastError_.clear();
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
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
            if (columns > 0) AddRow(stmt, columns);
        if (rc == SQLITE_DONE) rc = SQLITE_OK;
        sqlite3_finalize(stmt);
    }
    if (rc != SQLITE_OK) lastError_ = sqlite3_errmsg(db_);
    return lastResult_ = rc;
}

void cSQLst::AddRow(sqlite3_stmt* stmt, int columns) {
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
    }
}

std::string cSQLst::ResultText() const { return result_ ? PrintDocument(*result_) : std::string(); }

std::string cSQLst::Message() const {
    if (!lastError_.empty()) return lastError_;
    if (db_) return sqlite3_errmsg(db_);
    return "database not opened";
}

}  // namespace zk
