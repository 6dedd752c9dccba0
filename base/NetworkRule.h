// What a network exchange made for the current request may reach. A page (a
// request with an Origin) reaches public addresses only, unless the setting
// AllowPrivateTargets lets it reach this machine and its networks too, and
// learns nothing of why an exchange failed (the log keeps that); a program of
// the user (no Origin) reaches every address and is told every reason.
#pragma once

namespace zk {

struct NetworkRule {
    bool page = false;        // every failure to reach the service answers alike
    bool publicOnly = false;  // only public addresses are connected to
};

NetworkRule CurrentNetworkRule();

}  // namespace zk
