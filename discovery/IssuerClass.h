// The issuer classes live with the platform layer, shared with the provider
// library; this name stays for the discovery's callers.
#pragma once
#include "platform/IssuerClass.h"
