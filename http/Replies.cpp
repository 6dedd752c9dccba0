// Answers on the wire (loop thread): the envelope whole or streamed piece by piece,
// empty and error replies, CORS headers and preflights, the fixed documents.
#include "http/ServerParts.h"

#include <event2/keyvalq_struct.h>

#include <string_view>

#include "http/FixedDocuments.h"
#include "platform/Text.h"

namespace zk::http::server {

void AddHeader(evhttp_request* req, const char* name, const char* value) {
    evhttp_add_header(evhttp_request_get_output_headers(req), name, value);
}

const char* RequestHeader(evhttp_request* req, const char* name) {
    return evhttp_find_header(evhttp_request_get_input_headers(req), name);  // names without regard to case
}

void Send(evhttp_request* req, int code, const char* reason, std::string_view body, const char* contentType,
          const char* allowOrigin) {
    AddHeader(req, "Content-Type", contentType);
    if (allowOrigin) AddHeader(req, "Access-Control-Allow-Origin", allowOrigin);
    evbuffer* out = evbuffer_new();
    evbuffer_add(out, body.data(), body.size());
    evhttp_send_reply(req, code, reason, out);
    evbuffer_free(out);
}

void SendEmpty(evhttp_request* req, int code, const char* reason) {
    evhttp_send_reply(req, code, reason, nullptr);
}

void SendBadRequest(evhttp_request* req, const char* text) { Send(req, 400, text, text, kTextPlain, nullptr); }

// A command's answer (it may be as large as a document) goes out without a
// copy: the reply refers to it and frees it, with its share of the memory
// budget, once written (or once the connection has gone).
struct HeldAnswer {
    std::string text;
    MemoryShare memory;
};

void SendAnswer(evhttp_request* req, Answer answer, const char* allowOrigin) {
    AddHeader(req, "Content-Type", kHtml);
    if (allowOrigin) AddHeader(req, "Access-Control-Allow-Origin", allowOrigin);
    auto* held = new HeldAnswer{std::move(answer.text), std::move(answer.memory)};
    evbuffer* out = evbuffer_new();
    if (evbuffer_add_reference(out, held->text.data(), held->text.size(),
                               [](const void*, size_t, void* text) { delete static_cast<HeldAnswer*>(text); },
                               held) != 0)
        delete held;
    evhttp_send_reply(req, 200, "HTTP_OK", out);
    evbuffer_free(out);
}

// At the first request a TLS connection has finished its handshake: from
// then on only the idle limit applies. Called before the reply is sent.
void FirstRequestDone(Listener& l, evhttp_connection* evcon) {
    if (l.tls) evhttp_connection_set_timeout(evcon, kConnectionSeconds);
}


// The next piece of a streamed answer, made once the one before has been
// written; the end of the reply after the last one. A piece is made into
// the connection's buffer chain by chain, without a copy.
void SendNextPiece(evhttp_connection* evcon, void* arg) {
    auto& l = *static_cast<Listener*>(arg);
    auto it = l.streams.find(evcon);
    if (it == l.streams.end()) return;
    evhttp_request* req = it->second.req;
    AnswerStream& stream = *it->second.stream;
    if (stream.Done()) {
        l.streams.erase(it);  // the document goes before the connection reads on
        evhttp_send_reply_end(req);
        return;
    }
    evbuffer* piece = evbuffer_new();
    evbuffer_iovec room;
    if (!piece || evbuffer_reserve_space(piece, static_cast<ev_ssize_t>(kAnswerPiece), &room, 1) < 1) {
        if (piece) evbuffer_free(piece);
        l.streams.erase(it);
        evhttp_connection_free(evcon);  // out of memory: the answer cannot be completed
        return;
    }
    room.iov_len = stream.Next(static_cast<char*>(room.iov_base), std::min(room.iov_len, kAnswerPiece));
    evbuffer_commit_space(piece, &room, 1);
    evhttp_send_reply_chunk_with_cb(req, piece, SendNextPiece, &l);
    evbuffer_free(piece);
}

// Headers as for an answer sent whole (its length among them), then the body
// piece by piece.
void StreamAnswer(Listener& l, evhttp_request* req, evhttp_connection* evcon, Answer answer, const char* allowOrigin) {
    AddHeader(req, "Content-Type", kHtml);
    if (allowOrigin) AddHeader(req, "Access-Control-Allow-Origin", allowOrigin);
    AddHeader(req, "Content-Length", std::to_string(answer.stream->Length()).c_str());
    l.streams[evcon] = Listener::Streamed{req, std::move(answer.stream), std::move(answer.memory)};
    evhttp_send_reply_start(req, 200, "HTTP_OK");
    SendNextPiece(evcon, &l);
}

void Reply(Job& job) {
    if (!job.req) return;
    evhttp_request* req = job.req;
    ForgetJob(job);
    FirstRequestDone(*job.listener, job.evcon);
    if (job.answer.busy) return SendEmpty(req, 503, "Service Unavailable");
    WatchAnswer(*job.listener, job.evcon);
    const char* allowOrigin = job.origin.empty() ? "*" : job.origin.c_str();
    if (job.answer.stream) return StreamAnswer(*job.listener, req, job.evcon, std::move(job.answer), allowOrigin);
    SendAnswer(req, std::move(job.answer), allowOrigin);
}

void SendAnswers(evutil_socket_t, short, void* arg) {
    auto& l = *static_cast<Listener*>(arg);
    std::vector<std::shared_ptr<Job>> batch;
    {
        std::lock_guard lock(l.finishedLock);
        batch.swap(l.finished);
        l.answersSignalled = false;
    }
    for (auto& job : batch) Reply(*job);
}


void ServeDocument(Listener& l, evhttp_request* req) {
    std::string uri = evhttp_request_get_uri(req);
    PercentDecode(uri);
    FrameContext frame;
    frame.tls = l.tls;
    frame.hostHeader = RequestHeader(req, "Host");
    frame.configuredHost = Host().host;
    frame.configuredPort = static_cast<unsigned>(l.tls ? Host().portS : Host().port);
    frame.allowedOrigins = Host().allowedOrigins;
    auto doc = FindFixedDocument(uri, frame);
    if (!doc) return SendBadRequest(req, "Bad request. Invalid parameters.");
    const char* origin = RequestHeader(req, "Origin");
    const char* allow = doc->allowOrigin == OriginHeader::None ? nullptr
                        : doc->allowOrigin == OriginHeader::Star ? "*"
                        : (origin ? origin : "*");
    Send(req, 200, "HTTP_OK", doc->body, doc->contentType, allow);
}

// A CORS preflight for a command or a document: what browsers send first for
// requests that are not "simple" (a page watching its upload's progress, a
// public page asking for the private network). The request that follows is
// judged on its own, as any other.
bool IsPreflight(evhttp_request* req) {
    if (evhttp_request_get_command(req) != EVHTTP_REQ_OPTIONS) return false;
    const char* method = RequestHeader(req, "Access-Control-Request-Method");
    return method && (strcmp(method, "POST") == 0 || strcmp(method, "GET") == 0);
}

void AnswerPreflight(evhttp_request* req) {
    const char* origin = RequestHeader(req, "Origin");
    AddHeader(req, "Access-Control-Allow-Origin", origin ? origin : "*");
    AddHeader(req, "Access-Control-Allow-Methods", "POST, GET");
    const char* asked = RequestHeader(req, "Access-Control-Request-Headers");
    AddHeader(req, "Access-Control-Allow-Headers", asked ? asked : "Content-Type");
    if (RequestHeader(req, "Access-Control-Request-Private-Network"))
        AddHeader(req, "Access-Control-Allow-Private-Network", "true");
    AddHeader(req, "Access-Control-Max-Age", "600");
    if (origin) AddHeader(req, "Vary", "Origin");
    SendEmpty(req, 204, "No Content");
}

}  // namespace zk::http::server
