// The layered opening of protected documents on any bytes: transport
// headers, packed texts, text forms, signed and timestamped data, envelopes
// (no key is found), one layer inside another. Nothing may crash, and what
// one request unpacks and decrypts stays within its budget (MaxBody in all,
// here 4 MiB), whatever the nesting.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "base/RequestContext.h"
#include "base/Settings.h"
#include "commands/protected/ProtectedData.h"
#include "ProviderForFuzzing.h"

namespace {

constexpr uint64_t kBudget = 4u << 20;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    LoadProviderForFuzzing("[CryptoLibs]\nUSC=USC\nQLB=QLB\nUA1=UA1\n[UA1]\nSenderCertHeader=1\n");
    zk::HostSettings settings;
    settings.maxBody = kBudget;
    settings.maxBodiesInFlight = 4 * kBudget;
    zk::SetHostSettingsForTesting(settings);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::atomic<bool> cancelled{false};
    zk::RequestWork work;
    zk::RequestContext context{"", &cancelled, nullptr, &work};
    {
        zk::ScopedRequest current(context);
        zk::OpenRequest request;
        request.wantSigners = true;
        request.wantRecipients = true;
        zk::OpenResult result = zk::OpenProtectedData(
            zk::DocumentBuffer(std::vector<uint8_t>(data, data + size), false), std::move(request));
        if (result.code == 0 && result.data.view().size() > size + work.produced) abort();
    }
    if (work.produced > kBudget || work.memory.bytes() != work.produced) abort();
    return 0;
}
