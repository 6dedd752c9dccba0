// cSQLst: one open SQLite database of the "Data" folder, protected or not,
// that runs SQL texts and renders their result rows as XML.
#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include <sqlite3.h>
#include <tinyxml2.h>

#include "commands/datastore/ProtectedVfs.h"
#include "platform/SecureWipe.h"

namespace zk {

// Key of a protected database: exactly 32 characters, the page's key text
// cut or padded with blanks.
SecretString ShapeDatabaseKey(const std::string& keyText);

class cSQLst {
public:
    // name: letters and digits, lower case. key: only for protected ones.
    cSQLst(std::string name, bool isProtected, SecretString key);
    ~cSQLst();
    cSQLst(const cSQLst&) = delete;
    cSQLst& operator=(const cSQLst&) = delete;

    // Opens "<name>.db" in the "Data" folder, creating both when missing; a
    // protected database through its own file layer. Returns the result code
    // (2 when the provider cannot protect it, SQLITE_CANTOPEN when the data
    // folder is a link); on failure nothing stays open.
    int Open();
    void Close();
    bool IsOpen() const { return db_ != nullptr; }
    // Whether a request with this protection may use the connection: an
    // unprotected database serves every request; a protected one only those
    // that bring its key (compared in constant time).
    bool KeyMatches(bool isProtected, const SecretString& key) const;

    // Runs every statement of the Windows-1251 SQL text in turn; each result
    // row with columns becomes a ROW of the result document. Returns SQLite's
    // result code (0 on success): SQLITE_INTERRUPT when the text ran past the
    // SqlTimeout setting or the request's client went away, SQLITE_TOOBIG
    // when the result would exceed the MaxBody setting.
    int Execute(const std::string& sql);

    // The printed result document (Windows-1251), empty when no row came.
    std::string ResultText() const;
    // The error message of the last execution or of the failed open, else
    // SQLite's current one, else "database not opened".
    std::string Message() const;

    const std::string& Name() const { return name_; }
    int LastResult() const { return lastResult_; }

    // Requests using this connection at the moment (0 or 1), and the order of
    // its last use; kept by the registry.
    int useCount = 0;
    uint64_t lastUse = 0;

private:
    static void Logger(void* arg, int code, const char* message);
    static void ConfigureSqliteOnce();
    static int Progress(void* self);
    // False when the result grew past its limit.
    bool AddRow(sqlite3_stmt* stmt, int columns);

    std::string name_;
    std::string path_;
    bool protected_;
    SecretString key_;
    int libIndex_ = -1;  // crypto library "QLB"
    sqlite3* db_ = nullptr;
    int lastResult_ = SQLITE_OK;
    std::string lastError_;
    std::unique_ptr<tinyxml2::XMLDocument> result_;
    size_t resultBytes_ = 0;  // what the result document costs, roughly
    std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();
    std::unique_ptr<ProtectedVfs> vfs_;  // outlives db_
};

}  // namespace zk
