// Requests as they arrive (loop thread): bytes framed before evhttp reads them,
// then _http_cb: who is served, and what the request is handed to.
#include "http/ServerParts.h"

#include <algorithm>
#include <cstring>

#include "http/RequestChecks.h"

namespace zk::http::server {

// Overwrites stream bytes [at, at + size) that are still in the buffer.
void ApplyEdit(evbuffer* buf, uint64_t fed, const FramingEdit& edit) {
    const size_t length = evbuffer_get_length(buf);
    if (fed - edit.at > length) return;  // already read: cannot happen for a line not yet ended
    evbuffer_ptr at;
    if (evbuffer_ptr_set(buf, &at, length - (fed - edit.at), EVBUFFER_PTR_SET) != 0) return;
    int n = evbuffer_peek(buf, static_cast<ev_ssize_t>(edit.bytes.size()), &at, nullptr, 0);
    std::vector<evbuffer_iovec> parts(static_cast<size_t>(std::max(n, 0)));
    evbuffer_peek(buf, static_cast<ev_ssize_t>(edit.bytes.size()), &at, parts.data(), n);
    size_t done = 0;
    for (auto& part : parts) {
        size_t take = std::min(part.iov_len, edit.bytes.size() - done);
        memcpy(part.iov_base, edit.bytes.data() + done, take);
        done += take;
    }
}

// The framing's look at the newest bytes.
void Frame(Conn* c, evbuffer* buf, size_t count) {
    // Body bytes are only counted: they are not looked for in the buffer.
    // evhttp keeps a body with a length in this buffer until it is whole,
    // and finding the newest bytes walks the buffer from its start, so doing
    // that for every read would take time in the square of the body's size.
    const uint64_t opaque = std::min<uint64_t>(c->framing.OpaqueLeft(), count);
    c->framing.SkipOpaque(opaque);
    if (opaque == count) return;
    const size_t length = evbuffer_get_length(buf);
    const size_t fresh = count - opaque;  // the newest bytes, after the body's end
    evbuffer_ptr from;
    if (fresh > length || evbuffer_ptr_set(buf, &from, length - fresh, EVBUFFER_PTR_SET) != 0) return;
    const auto added = static_cast<ev_ssize_t>(fresh);
    int n = evbuffer_peek(buf, added, &from, nullptr, 0);
    std::vector<evbuffer_iovec> parts(static_cast<size_t>(std::max(n, 0)));
    evbuffer_peek(buf, added, &from, parts.data(), n);
    std::vector<FramingEdit> edits;
    size_t left = fresh;
    for (auto& part : parts) {
        size_t take = std::min(part.iov_len, left);
        for (auto& e : c->framing.Feed(std::string_view(static_cast<const char*>(part.iov_base), take)))
            edits.push_back(std::move(e));
        left -= take;
    }
    for (const auto& e : edits) ApplyEdit(buf, c->framing.Fed(), e);
}

void BytesArrived(evbuffer* buf, const evbuffer_cb_info* info, void* arg) {
    auto* c = static_cast<Conn*>(arg);
    if (info->n_added == 0 || c->framing.Stopped()) return;
    Touch(c);
    Frame(c, buf, info->n_added);
    const int socket = c->listener->tls ? -1 : bufferevent_getfd(c->bev);
    c->framing.SkipOpaque(c->landing.Follow(buf, c->framing.Fed(), c->framing.LastBody(), c->input, socket));
}


OwnOrigin OwnOrigins() { return OwnOrigin{Host().host, TheServer().plain.port, TheServer().secure.port}; }

// The budget a request holds, given back unless a command takes it over.
struct HeldBody {
    uint64_t bytes = 0;
    ~HeldBody() { ReleaseBody(bytes); }
};

void HttpCallback(evhttp_request* req, void* arg) {
    auto& l = *static_cast<Listener*>(arg);
    evhttp_connection* evcon = evhttp_request_get_connection(req);
    Conn* conn = FindConn(l, evcon);
    RequestVerdict verdict = conn ? conn->framing.TakeVerdict() : RequestVerdict{};
    HeldBody held{verdict.reserved};
    // A landed body not taken by a command is let go with the request.
    struct LandingDrop {
        Conn* conn;
        ~LandingDrop() {
            if (conn) conn->landing.Reset();
        }
    } landingDrop{conn};
    if (conn) Touch(conn);
    FirstRequestDone(l, evcon);  // before the reply, which may end the connection
    if (verdict.busy) {
        // Its body was never read: the connection cannot carry another request.
        AddHeader(req, "Connection", "close");
        return SendEmpty(req, 503, "Service Unavailable");
    }
    // The service's own origin is the exchange frame's: its commands are
    // judged by the page origin it forwards.
    const char* origin = RequestHeader(req, "Origin");
    const bool ownOrigin = origin && IsOwnOrigin(origin, OwnOrigins());
    if (!HostAllowed(RequestHeader(req, "Host"), Host().host) ||
        (!ownOrigin && !OriginAllowed(origin ? origin : "", Host().allowedOrigins)))
        return SendEmpty(req, 403, "Forbidden");
    switch (evhttp_request_get_command(req)) {
        case EVHTTP_REQ_POST: {
            // A command serves the page that sent it, also through the frame.
            std::optional<std::string> page = PageOrigin(origin, RequestHeader(req, kPageOriginHeader), OwnOrigins());
            if (!page || !OriginAllowed(*page, Host().allowedOrigins)) return SendEmpty(req, 403, "Forbidden");
            return StartCommand(l, req, evcon, std::exchange(held.bytes, 0), std::move(*page));
        }
        case EVHTTP_REQ_GET:
            return ServeDocument(l, req);
        default:
            if (IsPreflight(req)) return AnswerPreflight(req);
            return SendBadRequest(req, "Bad request. Server accepts POST and GET messages only.");
    }
}

}  // namespace zk::http::server
