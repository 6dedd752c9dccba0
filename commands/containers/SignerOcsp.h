// The OCSP check of each signer's certificate that CTX_GET_ORIGINAL makes
// when the page asks for it (OCSP/Enabled), with the requester, responder
// selection and request of CTX_REQUEST_OCSP (OcspCheck.h, NetworkParams.h).
// A failing check never changes the command's code: it shows in the
// signer's OCSP/Code.
#pragma once
#include <cstdint>
#include <optional>

#include <tinyxml2.h>

#include "commands/containers/OcspCheck.h"
#include "provider/Operations.h"

namespace zk {

struct OcspCheckParams {
    bool enabled = false;
    const tinyxml2::XMLElement* element = nullptr;  // Params/OCSP
    int32_t timeout = 1;                            // OCSP/Timeout
    std::optional<OcspRequester> requester;         // when enabled; one for every signer
};

// Reads Params/OCSP and, when the check is enabled, locates the requester's
// key once for all signers. False when the check is asked for with a
// requester's Pass, SenderSK or DongleProviderName but no certificate source
// (SenderCert, DRFO or Serial), or with a Timeout that is not a decimal
// number: the command then has no answer of its own.
bool ReadOcspCheckParams(const tinyxml2::XMLElement* params, OcspCheckParams& out);

// Checks the signer's certificate (described as info) with its responder
// (its OCSP access point, else the ocspServers entry of its issuer) and adds
// OCSP with Code (and, on 0, the response and what it tells) under certInfo.
void AppendSignerOcspCheck(tinyxml2::XMLElement* certInfo, const OcspCheckParams& params, provider::ByteView cert,
                           const ProviderCertInfo& info);

}  // namespace zk
