// Loading the crypto library profiles named in the [CryptoLibs] section of
// the parameter file into the context and the host's crypto library table.
#pragma once
#include <string>

#include "zelkord/Context.h"

namespace zkd {

// Load codes: 0 loaded; 1 a library cannot be loaded; 2 its certificate
// cannot be loaded; 3 its private key cannot be loaded; 4 its key password is
// not set; 5 no [CryptoLibs] section; 6 the certificate's signature is bad;
// 7 a library module lacks the required exports. failedName receives the
// name of the library that failed.
int LoadCryptoLibs(Context& ctx, CryptoLibInfo* table, std::string& failedName);

}  // namespace zkd
