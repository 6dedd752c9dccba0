// Makes the local CA ("ca.pem" in the program folder) trusted by the browsers:
// every Firefox profile (in the XDG configuration folder, in ~/.mozilla and in
// the snap's home, found anew at every start) and the user's NSS database
// ~/.pki/nssdb (through certutil, from the program folder or else from PATH),
// and the system store (/usr/local/share/ca-certificates) when it is writable
// and asked for.
#pragma once
#include <cstdint>
#include <span>
#include <string>

namespace zk::host {

struct TrustOptions {
    std::string programFolder;  // holds ca.pem and perhaps certutil
    std::string home;           // the user's home folder; empty: no user stores
    std::string configHome;     // $XDG_CONFIG_HOME; empty: home/.config
    bool systemStore = false;   // the SystemTrust setting
    std::string systemFolder = "/usr/local/share/ca-certificates";
    std::string systemUpdate = "update-ca-certificates";  // run after the folder changed
};

// The CA's file in the system store: a name of this installation's own,
// "ZelkorH-local-ca-" and the first 16 hex digits of the SHA-256 of ca.pem
// (so that installations never overwrite each other, and removal takes
// exactly the one it added).
std::string SystemStoreFileName(std::span<const uint8_t> caPem);

// false when the CA could be put into neither the system store nor the user's
// NSS database (the Firefox profiles never fail it).
bool InstallLocalTrust(const TrustOptions& options);

}  // namespace zk::host
