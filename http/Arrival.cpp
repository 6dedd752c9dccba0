// Requests as they arrive (loop thread): bytes framed before evhttp reads them,
// then _http_cb: who is served, and what the request is handed to.
#include "http/ServerParts.h"

#include <algorithm>
#include <cstring>

#include "http/RequestChecks.h"

namespace zk::http::server {

// Calls visit(piece, size) for each piece of the last `newest` bytes of
// buf, in order; for none when they are not all there. A few pieces are
// looked up on the stack, as they are for every read.
template <class Visit>
void ForEachOfNewest(evbuffer* buf, size_t newest, Visit&& visit) {
    const size_t length = evbuffer_get_length(buf);
    evbuffer_ptr from;
    if (newest > length || evbuffer_ptr_set(buf, &from, length - newest, EVBUFFER_PTR_SET) != 0) return;
    const auto wanted = static_cast<ev_ssize_t>(newest);
    evbuffer_iovec few[4];
    std::vector<evbuffer_iovec> many;
    evbuffer_iovec* parts = few;
    int n = evbuffer_peek(buf, wanted, &from, few, 4);
    if (n > 4) {
        many.resize(static_cast<size_t>(n));
        parts = many.data();
        n = evbuffer_peek(buf, wanted, &from, parts, n);
    }
    size_t left = newest;
    for (int i = 0; i < n && left > 0; ++i) {
        const size_t take = std::min(parts[i].iov_len, left);
        visit(static_cast<char*>(parts[i].iov_base), take);
        left -= take;
    }
}

// Overwrites stream bytes [at, at + size) that are still in the buffer.
void ApplyEdit(evbuffer* buf, uint64_t fed, const FramingEdit& edit) {
    // The bytes are still in the buffer: the line they are in has not ended.
    size_t done = 0;
    ForEachOfNewest(buf, fed - edit.at, [&](char* piece, size_t size) {
        const size_t take = std::min(size, edit.bytes.size() - done);
        memcpy(piece, edit.bytes.data() + done, take);
        done += take;
    });
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
    std::vector<FramingEdit> edits;
    ForEachOfNewest(buf, count - opaque, [&](const char* piece, size_t size) {  // after the body's end
        for (auto& e : c->framing.Feed(std::string_view(piece, size))) edits.push_back(std::move(e));
    });
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
