// Reading signed containers and certificates: CTX_GET_CONTAINER_INFO,
// CTX_VERIFY_SIGNS, CTX_VERIFY_EXTERNAL_SIGNS, CTX_GET_SIGNER_CERT,
// CTX_VERIFY_CERT_SIGN and CTX_GET_HASH. Each calls its provider operation
// once.
#pragma once
#include <string>

#include <tinyxml2.h>

namespace zk {

bool CtxGetContainerInfoCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                                std::string& answer);
bool CtxVerifySignsCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                           std::string& answer);
bool CtxVerifyExternalSignsCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                                   std::string& answer);
bool CtxGetSignerCertCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                             std::string& answer);
bool CtxVerifyCertSignCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                              std::string& answer);
bool CtxGetHashCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                       std::string& answer);

}  // namespace zk
