// The OCSP check of each signer's certificate that CTX_GET_ORIGINAL makes
// when the page asks for it (OCSP/Enabled): its parameters, the responder
// of a certificate, and the check itself with its place in the answer. A
// failing check never changes the command's code: it shows in the signer's
// OCSP/Code.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include <tinyxml2.h>

#include "commands/signing/SignerLocator.h"
#include "provider/Operations.h"

namespace zk {

struct OcspCheckParams {
    bool enabled = false;
    // OCSP/DRFO, Type, Serial, Pass (with Preserve), SenderCert, SenderSK,
    // DongleProviderName, DongleSlotId: the requester's key. Without a
    // certificate source the request goes unsigned.
    SignerParams requester;
    int32_t timeout = 1;                          // OCSP/Timeout
    const tinyxml2::XMLElement* proxy = nullptr;  // OCSP/Proxy
};

// Reads Params/OCSP. False when the check is asked for with a requester's
// Pass, SenderSK or DongleProviderName but no certificate source (SenderCert,
// DRFO or Serial), or with a Timeout that is not a decimal number: the
// command then has no answer of its own.
bool ReadOcspCheckParams(const tinyxml2::XMLElement* params, OcspCheckParams& out);

// A responder's address as a URI: scheme://host[:port]/path (the scheme may
// be missing, the host an IPv6 literal in brackets, user information is
// dropped). address is the URI without the port; port 0 when it names none.
// An empty address when the text is empty or its port is not a number from
// 1 to 65535.
struct OcspServer {
    std::string address;
    int32_t port = 0;
};
OcspServer ParseOcspServer(const std::string& uri);

// The responder of a certificate: its own OCSP access point, else the entry
// of section ocspServers of Params.ini for its IssuerSN (looked up again
// without the last "-" and what follows when that is not the third
// character). An empty address when neither names one.
OcspServer OcspServerFor(const ProviderCertInfo& info);

// The answer to one check: the request's code and, when it is 0, the
// response with what it tells.
struct OcspCheck {
    int code = 0;
    std::vector<uint8_t> response;
    int32_t socketError = 0;
};

// The code of a check that was not made: this version sends no OCSP request.
constexpr int kOcspNotChecked = ZK_E_PROVIDER_NOT_SUPPORTED;

// Checks the signer's certificate (described as info) with its responder.
OcspCheck CheckSignerCertificate(const OcspCheckParams& params, provider::ByteView cert,
                                 const ProviderCertInfo& info);

// OCSP with Code (and, for a response, Response and WSAResponse) under
// certInfo.
void AppendOcspCheck(tinyxml2::XMLElement* certInfo, const OcspCheck& check);

}  // namespace zk
