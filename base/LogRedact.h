// Secrets never reach the log: request texts are passed through here before
// they are logged.
#pragma once
#include <string>
#include <string_view>

namespace zk::log {

// The request text with the content of every secret-bearing element
// (passwords, PINs, key bytes, seeds) and every KEY attribute replaced by
// "***". Element names are compared without regard to case.
std::string RedactSecrets(std::string_view xml);

}  // namespace zk::log
