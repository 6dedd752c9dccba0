#include "commands/containers/SignerOcsp.h"

#include <string>

#include "base/Params.h"
#include "commands/Envelope.h"
#include "commands/containers/ContainerParams.h"
#include "commands/containers/NetworkParams.h"

namespace zk {

bool ReadOcspCheckParams(const tinyxml2::XMLElement* params, OcspCheckParams& out) {
    out = OcspCheckParams{};
    out.element = LastChild(params, "OCSP");
    out.enabled = ChildIsTrue(out.element, "Enabled");
    if (!out.enabled) return true;
    const std::optional<int32_t> timeout = ReadInt32(out.element, "Timeout", 1);
    if (!timeout) return false;
    out.timeout = *timeout;
    out.requester = LocateOcspRequester(out.element);
    return out.requester.has_value();
}

void AppendSignerOcspCheck(tinyxml2::XMLElement* certInfo, const OcspCheckParams& params, provider::ByteView cert,
                           const ProviderCertInfo& info) {
    const ServerAddressParam server = OcspServerOf(info);
    const provider::ByteView certs[] = {cert};
    provider::OcspOutcome out;
    const int code = RequestOcsp(ZK_SITE("CtxGetOriginalCommand"), certs, *params.requester,
                                 Target(server.address, server.port, params.timeout, ProxySuffix(params.element),
                                        server.configured),
                                 kOcspSingleResponseCapacity, out);
    tinyxml2::XMLElement* ocsp = certInfo->InsertNewChildElement("OCSP");
    AddTextElement(ocsp, "Code", std::to_string(code));
    if (code == 0) AppendOcspAnswer(ocsp, out);
}

}  // namespace zk
