// Looking into a key store the page gives (PKCS#12 or a Java key store,
// Base64 in Data): CTX_GET_JKS_CERTS lists its certificates, CTX_GET_JKS_KEYS
// hands out the keys of chosen certificates as key files under the store's
// password.
#pragma once
#include <string>

#include <tinyxml2.h>

namespace zk {

bool CtxGetJksCertsCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                           std::string& answer);
bool CtxGetJksKeysCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                          std::string& answer);

}  // namespace zk
