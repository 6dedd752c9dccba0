// What a command knows of the request it serves beyond its parameters: the
// page's origin (secrets kept for one origin serve only that origin) and
// whether the client is still waiting (long work stops when it is not).
// The front end sets it on the worker thread around each command.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "base/MemoryBudget.h"

namespace zk {

struct RequestDocuments;

// What one request has unpacked and decrypted, across all the layers of
// its documents: at most MaxBody in all, whatever the nesting, and held
// against the service's memory budget until the request's answer is gone.
struct RequestWork {
    uint64_t produced = 0;
    MemoryShare memory;
    bool busy = false;  // the memory budget had no room: the front end answers 503
    // CPU time its checks of key files found on disk have taken
    // (base/KeyCheckBudget.h); counted on the request's own thread.
    std::chrono::nanoseconds keyCheckTime{0};
};

struct RequestContext {
    std::string origin;                          // the page's origin; empty when the request had none
    const std::atomic<bool>* cancelled = nullptr;  // set once the answer can no longer be delivered
    RequestDocuments* documents = nullptr;       // the request's document and the answer's (RequestDocument.h)
    RequestWork* work = nullptr;                 // nullptr: nothing is counted (outside the front end)
};

// The request the calling thread serves; an empty context (no origin, never
// cancelled) outside a request.
const RequestContext& CurrentRequest();

// True once the current request's client is gone or the service is stopping.
bool RequestCancelled();

// Counts bytes about to be unpacked or decrypted for the current request,
// before their memory is taken. false when the request would pass MaxBody
// in all, or when the service's memory budget has no room (the request is
// then answered 503); callers answer 10 ("damaged"). Nothing is counted
// after a refusal.
bool ChargeRequestOutput(uint64_t bytes);

// Makes a context current for the lifetime of the object (nesting restores).
class ScopedRequest {
public:
    explicit ScopedRequest(const RequestContext& context);
    ~ScopedRequest();
    ScopedRequest(const ScopedRequest&) = delete;
    ScopedRequest& operator=(const ScopedRequest&) = delete;

private:
    const RequestContext* previous_;
};

}  // namespace zk
