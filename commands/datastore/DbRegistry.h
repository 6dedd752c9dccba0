// The process-wide registry of open databases: one connection per name, used
// by one request at a time; others wait for it.
#pragma once
#include <memory>
#include <string>

#include "commands/datastore/SQLiteWrapper.h"

namespace zk {

// The connection of a database, opened (with the given protection) when it is
// not open yet; waits while another request uses it. The caller runs its SQL
// and then releases it.
std::shared_ptr<cSQLst> AcquireDatabase(const std::string& name, bool isProtected, const SecretString& key);
// Ends the use; with forget the connection is closed and leaves the registry.
void ReleaseDatabase(const std::shared_ptr<cSQLst>& db, bool forget);

// Closes the named database, or every one for "all", and deletes its files
// ("<name>.<any extension>") or every file of the "Data" folder. False when a
// file could not be deleted or the folder not read.
bool DropDatabases(const std::string& name);

}  // namespace zk
