// Making and editing signed containers: CTX_CREATE_CONTAINER,
// CTX_ADD_SIGNATURE (the signer located as for SET_SIGN), CTX_REMOVE_SIGNATURE,
// CTX_REMOVE_CONTENT, CTX_ADD_CONTENT and CTX_MERGE_CONTAINER. Each runs one
// provider operation with two calls and answers the container as Base64.
#pragma once
#include <string>

#include <tinyxml2.h>

namespace zk {

// The most containers CTX_MERGE_CONTAINER takes.
constexpr size_t kMaxMergedContainers = 100;

bool CtxCreateContainerCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                               std::string& answer);
bool CtxAddSignatureCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                            std::string& answer);
bool CtxRemoveSignatureCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                               std::string& answer);
bool CtxRemoveContentCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                             std::string& answer);
bool CtxAddContentCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                          std::string& answer);
bool CtxMergeContainerCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                              std::string& answer);

}  // namespace zk
