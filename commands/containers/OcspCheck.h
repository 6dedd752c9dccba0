// OCSP checks as the commands make them: the requester's key (CTX_REQUEST_OCSP,
// and the OCSP element of CTX_GET_ORIGINAL), one request for one or more
// certificates, and the answer's elements.
//
// CTX_GET_ORIGINAL checks each signer's certificate like this:
//   auto requester = LocateOcspRequester(ocspElement);       // nullopt: no answer (56)
//   const ServerAddressParam server = OcspServerOf(info);    // NetworkParams.h
//   provider::OcspOutcome out;
//   const int code = RequestOcsp(ZK_SITE("..."), {&certView, 1}, *requester,
//                                Target(server.address, server.port, timeout, ProxySuffix(ocspElement),
//                                       server.configured),
//                                kOcspSingleResponseCapacity, out);
//   ... OCSP/Code, and on 0: AppendOcspAnswer(ocsp, out)
#pragma once
#include <optional>
#include <span>

#include <tinyxml2.h>

#include "commands/signer/SignerLocator.h"
#include "provider/Operations.h"

namespace zk {

// The response buffer of CTX_GET_ORIGINAL's check of one certificate, and
// CTX_REQUEST_OCSP's for count certificates.
constexpr size_t kOcspSingleResponseCapacity = 66048;
constexpr size_t OcspResponseCapacity(size_t count) { return (count + 128) * 512; }

// Who signs a request: nobody (an unsigned request), or the key found for the
// signer parameters.
struct OcspRequester {
    bool signs = false;
    SignerLocation location;  // when signs; a token key is disconnected when it is dropped
    // The key search's detail value (-1 without one).
    int Detail() const { return signs ? location.detail : -1; }
};

// The requester from the signer parameters under parent (DRFO, Type, Serial,
// Pass with Preserve, SenderCert, SenderSK, DongleProviderName, DongleSlotId).
// None of SenderCert, DRFO and Serial: an unsigned request, unless Pass,
// SenderSK or DongleProviderName was given, which has no answer of its own
// (nullopt). Otherwise the key is connected on the token or found by the file
// signer location ("QLB"); a SenderCert alone is looked up by its key
// identifier. The location's code is not an answer: the request goes with
// whatever certificate and key it found (a key that does not open is the
// request's failure).
std::optional<OcspRequester> LocateOcspRequester(const tinyxml2::XMLElement* parent);

// One request for certs (in order) through the provider.
int RequestOcsp(const provider::Site& site, std::span<const provider::ByteView> certs, const OcspRequester& requester,
                const provider::ServiceTarget& target, size_t responseCapacity, provider::OcspOutcome& out);

// The OCSP information element: Info with Status, ProducedAt,
// SignerKeyIdentifier, SignerSubjectInfo and Certs (one Cert per status,
// written even when there is none).
void AppendOcspInfo(tinyxml2::XMLElement* parent, const OcspInfo& info, std::span<const OcspCertStatus> statuses);
// Response (Base64), WSAResponse, then the information element.
void AppendOcspAnswer(tinyxml2::XMLElement* parent, const provider::OcspOutcome& out);

}  // namespace zk
