// Validation data from network services and for containers:
// CTX_REQUEST_OCSP (the status of certificates from an OCSP responder),
// CTX_GET_OCSP_INFO (what an OCSP response says), CTX_REQUEST_CMP
// (certificates by subject key identifier from a certificate management
// service) and CTX_ADD_COMPLETEINFO (certificates, CRLs and OCSP responses
// attached to one signature of a container).
#pragma once
#include <string>

#include <tinyxml2.h>

namespace zk {

bool CtxRequestOcspCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                           std::string& answer);
bool CtxGetOcspInfoCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                           std::string& answer);
bool CtxRequestCmpCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                          std::string& answer);
bool CtxAddCompleteInfoCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                               std::string& answer);

}  // namespace zk
