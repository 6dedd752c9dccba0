// The "Data" folder of the local data store (the data blob and the SQL
// databases).
#pragma once
#include <optional>
#include <string>

namespace zk {

// The folder's path, created when missing; nothing when "Data" is not a real
// folder: a symbolic link there would send the databases, the data blob and
// the deletions of DB_DROP into whatever folder it names.
std::optional<std::string> DataFolder();

}  // namespace zk
