// The process-wide registry of open databases: one connection per name, used
// by one request at a time; others wait for it. At most kMaxOpenDatabases
// stay open: the least recently used one is closed when another must open.
#pragma once
#include <cstddef>
#include <memory>
#include <string>

#include "commands/datastore/SQLiteWrapper.h"

namespace zk {

constexpr size_t kMaxOpenDatabases = 64;

// A connection for one request, or the reason there is none.
struct AcquiredDatabase {
    std::shared_ptr<cSQLst> db;  // null when refused
    int code = SQLITE_OK;        // why refused: SQLITE_CANTOPEN, SQLITE_BUSY or SQLITE_INTERRUPT
    std::string message;         // its message for the answer
};

// The connection of a database, opened (with the given protection) when it is
// not open yet; waits while another request uses it. An open protected
// database is refused (SQLITE_CANTOPEN, "database not opened") to a request
// that does not bring its key. Waiting ends when the request's client goes
// away (SQLITE_INTERRUPT) or after the SqlTimeout setting (SQLITE_BUSY). The
// caller runs its SQL and then releases it.
AcquiredDatabase AcquireDatabase(const std::string& name, bool isProtected, const SecretString& key);
// Ends the use; with forget the connection is closed and leaves the registry.
void ReleaseDatabase(const std::shared_ptr<cSQLst>& db, bool forget);

// The number of open connections.
size_t OpenDatabaseCount();

// Closes the named database, or every one for "all", and deletes its files
// ("<name>.<any extension>") or every file of the "Data" folder, never
// following a link. False when a file could not be deleted or the folder not
// read (a "Data" that is a link is not read).
bool DropDatabases(const std::string& name);

}  // namespace zk
