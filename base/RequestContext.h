// What a command knows of the request it serves beyond its parameters: the
// page's origin (secrets kept for one origin serve only that origin) and
// whether the client is still waiting (long work stops when it is not).
// The front end sets it on the worker thread around each command.
#pragma once
#include <atomic>
#include <string>

namespace zk {

struct RequestDocuments;

struct RequestContext {
    std::string origin;                          // the Origin header; empty when the request had none
    const std::atomic<bool>* cancelled = nullptr;  // set once the answer can no longer be delivered
    RequestDocuments* documents = nullptr;       // the request's document and the answer's (RequestDocument.h)
};

// The request the calling thread serves; an empty context (no origin, never
// cancelled) outside a request.
const RequestContext& CurrentRequest();

// True once the current request's client is gone or the service is stopping.
bool RequestCancelled();

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
