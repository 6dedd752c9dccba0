// Operations that destroy or lock what a token holds (initialising it,
// unblocking or changing a PIN, deleting a key, writing a file) serve a page
// only when its origin is listed in TokenAdminOrigins, or when the user at
// the desktop agrees in a dialog that names the page, the token and the
// operation. A request without an origin comes from a program of the user's
// (browsers send Origin with every POST) and is served as always.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace zk {

// Nothing when the operation may go ahead; else why not (UTF-8), for the
// answer's code 16.
std::optional<std::string> TokenConsentRefusal(const char* command, const std::string& providerName, int32_t slot);

}  // namespace zk
