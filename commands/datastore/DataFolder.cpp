#include "commands/datastore/DataFolder.h"

#include "base/Log.h"
#include "base/Settings.h"
#include "platform/Files.h"

namespace zk {

std::optional<std::string> DataFolder() {
    const std::string folder = WorkFolder("Data");
    if (!files::IsRealFolder(folder)) files::CreateFolder(folder);
    if (files::IsRealFolder(folder)) return folder;
    ZLOG("DataFolder", "'%s' is not a folder of its own: refused", folder.c_str());
    return std::nullopt;
}

}  // namespace zk
