// The parameters of the commands that reach network services (timestamps,
// OCSP, CMP): the service named by the Host element, the Proxy element folded
// into the proxy suffix, and the OCSP server configured for an issuer in the
// section "ocspServers" of Params.ini (written by GET_VERSION).
#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include <tinyxml2.h>

#include "platform/SecureWipe.h"
#include "provider/Operations.h"

namespace zk {

// Host: Address (UTF-8, held in Windows-1251), Port (decimal, 0 when
// absent), Timeout (decimal seconds, 1 when absent).
struct HostParam {
    std::string address;
    int32_t port = 0;
    int32_t timeout = 1;
};
// Nothing when Port or Timeout is given but not a decimal 32-bit number (the
// command then has no answer of its own). Range checks are the provider's.
std::optional<HostParam> ReadHost(const tinyxml2::XMLElement* params);

// The proxy suffix of the Proxy child of parent: empty without an Address;
// else ",proxy=" and the address, ":" and Port when Port is not empty, and
// with a User ",user=" and the user, then ",pass=" and the Password when it
// is not empty (a password without a user is dropped). Address and Password
// are converted from UTF-8 to Windows-1251; Port and User are taken as given.
SecretString ProxySuffix(const tinyxml2::XMLElement* parent);

// What the provider is handed: the address followed by the proxy suffix, and
// the rule of the current request (base/NetworkRule): for a page every
// failure answers alike and, unless AllowPrivateTargets is set, only public
// addresses are reached. configured: the address is the user's own
// (Params.ini), which a page may use wherever it points, but not through a
// proxy of its own.
provider::ServiceTarget Target(const std::string& address, int32_t port, int32_t timeout, const SecretString& proxy,
                               bool configured = false);

// A configured server address: the value as written and the port it names
// (0 when it names none). The value is read as a URI or a "host:port", never
// cut at its last ":", so "http://ocsp.example:8080/ocsp" keeps its path.
struct ServerAddressParam {
    std::string address;
    int32_t port = 0;
    bool configured = false;  // registered in Params.ini, by the user or the configuration
};
ServerAddressParam SplitServerAddress(const std::string& value);

// The OCSP server registered for an issuer's serial number (IssuerSN;
// commands/ocsp/OcspServers: the current origin's, else Params.ini's
// "ocspServers"); when there is none and the key holds a "-" whose last
// occurrence is not its third character, the one of the key cut before that
// last "-". Empty address when neither is registered.
ServerAddressParam ConfiguredOcspServer(const std::string& issuerSN);

// The OCSP server of a described certificate: its OCSP access point, else the
// server configured for its issuer (CTX_GET_ORIGINAL's OCSP check).
ServerAddressParam OcspServerOf(const ProviderCertInfo& info);

}  // namespace zk
