// Timestamps from a timestamp service: CTX_REQUEST_TIMESTAMP (a token for
// the data), CTX_ADD_TIMESTAMP (a signature timestamp added to one signature
// of a container) and CTX_GET_TIMESTAMP_INFO (what a timestamp response says).
#pragma once
#include <string>

#include <tinyxml2.h>

namespace zk {

bool CtxRequestTimestampCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                                std::string& answer);
bool CtxAddTimestampCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                            std::string& answer);
bool CtxGetTimestampInfoCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                                std::string& answer);

}  // namespace zk
