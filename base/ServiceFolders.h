// The service's own folders: the program folder itself, and its working
// folders "Data", "View", "TEMP", "CertStorage" and "Updates" with all that
// lies below them. Pages make files there (SAVE_DATA writes Data/UserData.dat,
// and ".dat" is a key file extension), so none of them is ever a key or
// certificate folder for everyone's searches: KEY_FOLDER and the folder
// choice refuse them, and the searches skip them even when a setting written
// earlier names one. The "Cert" folder beside the executable is not one of
// them: certificates and key files are put there to be found.
// Paths are compared in their canonical form, so that links and ".." lead
// to the folder they name.
#pragma once
#include <string>

namespace zk {

// True for one of those folders or a folder below one of the working folders.
// A path that cannot be resolved (it does not exist) is none of them.
bool IsServiceFolder(const std::string& path);

}  // namespace zk
