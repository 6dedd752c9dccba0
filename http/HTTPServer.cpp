// Connections are served by libevent's evhttp on one loop thread per
// listener; evhttp takes no locks, so every evhttp and evbuffer call stays on
// that loop thread. A POST body is copied out there and its command runs on
// the worker pool; answers come back to the loop in batches (one wake-up of
// the loop for all the answers finished meanwhile).
#include "http/HTTPServer.h"

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/bufferevent_ssl.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>
#include <event2/listener.h>
#include <event2/thread.h>
#include <openssl/ssl.h>
#include <tinyxml2.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <atomic>
#include <exception>
#include <csignal>
#include <cstdlib>
#include <list>
#include <map>
#include <unordered_map>
#include <utility>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/MemoryBudget.h"
#include "base/RequestContext.h"
#include "base/RequestDocument.h"
#include "commands/Envelope.h"
#include "commands/Messages.h"
#include "commands/ProcessRequest.h"
#include "base/ErrorMessage.h"
#include "base/Log.h"
#include "base/LogRedact.h"
#include "base/CBase64.h"
#include "base/TextHelpers.h"
#include "base/Settings.h"
#include "http/AnswerStream.h"
#include "http/DocumentText.h"
#include "http/FixedDocuments.h"
#include "http/LocalTls.h"
#include "http/RequestChecks.h"
#include "http/RequestEncoding.h"
#include "http/RequestFraming.h"
#include "http/TrustInstall.h"
#include "http/WorkerPool.h"
#include "http/XmlLimits.h"
#include "platform/CodePage.h"
#include "platform/Memory.h"
#include "platform/ModulePath.h"
#include "platform/PeerCredentials.h"
#include "platform/SecureWipe.h"
#include "platform/Sockets.h"

namespace zk::http {
namespace {

constexpr int kWorkers = 8;                    // commands run at once
constexpr int kHandshakeSeconds = 2;           // TLS: idle limit until the first request
constexpr int kConnectionSeconds = 5000;       // idle limit of a connection
constexpr size_t kMaxHeaders = 64 * 1024;
constexpr size_t kReturnMemoryEvery = 8 << 20;  // of a body's drained input (the body meanwhile is held twice)
constexpr size_t kMaxSingleRead = 1 << 20;       // bytes one read of a connection may take
constexpr auto kShutdownGrace = std::chrono::seconds(10);
constexpr timeval kNudgeDelay = {0, 1000};     // a job waits about this long for a busy thread
constexpr int kPriorities = 3;                 // evhttp's events take the middle one
constexpr timeval kWatchAfter = {0, 20000};    // a command that runs longer has its client watched
constexpr timeval kAcceptPause = {0, 200000};  // out of descriptors: accepting rests this long
constexpr auto kAcceptEpisode = std::chrono::seconds(2);  // failures closer than this are one episode
constexpr uint64_t kReturnMemoryAfter = 16 << 20;  // a body this large gives its memory back when done
constexpr size_t kLoggedDocument = 2 * log::kMaxText;  // printed for the log; the log cuts it to kMaxText
constexpr size_t kAnswerPiece = 1 << 20;       // of a streamed answer, made at a time
constexpr size_t kDocumentFrom = 64 << 10;     // a request's Data from this size stays out of the parsed request
constexpr size_t kAtOnceBody = 4 << 10;        // a body this small is parsed where it arrives
constexpr size_t kCountedAnswer = 64 << 10;    // an answer from this size holds its memory against the budget
constexpr const char* kHtml = "text/html; charset=utf-8";
constexpr const char* kTextPlain = "text/plain; charset=utf-8";

struct Listener;

// Request bodies count against the memory budget (MemoryBudget.h) from
// when they are declared (or a chunk announced), before they are read,
// until the command that used them has ended.
bool ReserveBody(uint64_t n) { return ReserveMemory(n); }
void ReleaseBody(uint64_t n) { ReleaseMemory(n); }

// One command in flight. Its request and connection are touched on the loop
// thread only; the worker reads body and writes answer.
// What a command sends back: a text written whole, or a stream that makes its
// body as the connection takes it (an answer carrying a document).
struct Answer {
    std::string text;
    std::unique_ptr<AnswerStream> stream;
    MemoryShare memory;  // of the budget, until the reader has taken the answer
    bool busy = false;   // no room in the memory budget: answered 503
};

// A request unwrapped and parsed, ready to run.
struct ParsedRequest {
    RequestFlags flags;
    tinyxml2::XMLDocument doc{true, tinyxml2::PRESERVE_WHITESPACE};
    bool parsed = false;
    log::LogRules logRules;  // how the log shows the request and its answer (the command's row)
};

struct Job {
    Listener* listener = nullptr;
    evhttp_request* req = nullptr;       // nullptr once the connection is gone
    evhttp_connection* evcon = nullptr;
    event* watch = nullptr;
    std::shared_ptr<BodyMemory> body;    // the request body, bodySize bytes of it
    size_t bodySize = 0;
    std::optional<RequestFlags> flags;   // read from the body by whoever parses it
    std::unique_ptr<ParsedRequest> parsed;  // when parsed where it arrived
    std::string origin;      // the Origin header: whom the answer's CORS header names
    std::string pageOrigin;  // whose secrets the command may use (PageOrigin)
    Answer answer;
    std::atomic<bool> cancelled{false};
    uint64_t reserved = 0;  // of the body budget, until the command has used the body
    ~Job() {
        body.reset();
        SecureWipe(answer.text);
        std::string().swap(answer.text);
        GiveBackBody();
    }
    // The body's share of the budget goes back once the command is done with
    // the body: before its answer is queued, so that a client that has the
    // answer finds the budget free again (no matter which thread lets go of
    // the job last).
    void GiveBackBody() {
        const uint64_t held = std::exchange(reserved, 0);
        ReleaseBody(held);
        if (held >= kReturnMemoryAfter) ReturnFreeMemory();
    }
};

// One open connection, from its first byte to its close. Its framing sees
// the bytes before evhttp does (RequestFraming.h).
struct Conn {
    Conn(Listener* owner, bufferevent* b)
        : listener(owner), bev(b),
          framing(Host().maxBody, kMaxHeaders, [](uint64_t n) { return ReserveBody(n); }) {}
    Listener* listener;
    bufferevent* bev;
    evhttp_connection* evcon = nullptr;  // once adopted
    evbuffer_cb_entry* input = nullptr;
    evbuffer_cb_entry* output = nullptr;
    std::chrono::steady_clock::time_point lastSent;  // the reader last took bytes of an answer
    RequestFraming framing;
    std::list<Conn*>::iterator recent;   // place in the listener's list, most recently active last
};

struct Listener {
    explicit Listener(bool isTls) : tls(isTls) {}
    const bool tls;
    int fd = net::kInvalidSocket;
    uint16_t port = 0;
    event_base* base = nullptr;
    evhttp* http = nullptr;
    SSL_CTX* ssl = nullptr;
    event* wakePool = nullptr;  // lowest priority: runs when the loop has nothing else to do
    event* nudge = nullptr;     // wakes pool threads for jobs that no busy thread took
    event* answers = nullptr;   // activated by the workers when finished jobs wait
    event* stop = nullptr;      // activated at shutdown; unlike a loop break it is not lost before the loop runs
    std::mutex finishedLock;
    std::atomic<bool> answersSignalled{false};
    std::vector<std::shared_ptr<Job>> finished;
    std::thread thread;
    std::map<evhttp_connection*, std::shared_ptr<Job>> inflight;  // loop thread only
    // Answers being sent piece by piece, by connection; loop thread only.
    struct Streamed {
        evhttp_request* req;
        std::unique_ptr<AnswerStream> stream;
        MemoryShare memory;
    };
    std::unordered_map<evhttp_connection*, Streamed> streams;
    // Connections, loop thread only: made but not yet adopted, and adopted.
    std::vector<Conn*> pending;
    std::unordered_map<evhttp_connection*, Conn*> conns;
    std::list<Conn*> recent;     // least recently active first
    event* adopt = nullptr;      // adopts the connections made in this pass
    evconnlistener* accepting = nullptr;
    event* resume = nullptr;     // accepting again after running out of descriptors
    event* answerWatch = nullptr;  // closes connections whose reader stopped taking its answer
    bool acceptPaused = false;   // an episode of failed accepts is going on (logged once)
    std::chrono::steady_clock::time_point lastAcceptFailure;
};

Listener g_plain(false), g_secure(true);
std::unique_ptr<WorkerPool> g_pool;
std::mutex g_runLock;
bool g_stopped = false;
long g_testDelayMs = 0;
uint64_t g_testDelayFrom = 0;  // only bodies of at least this many bytes are held
bool g_testStuck = false;  // the held command ignores its cancellation (a runaway command)

Listener* const g_listeners[] = {&g_plain, &g_secure};

// --- replies (loop thread) ---

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

// --- commands in flight ---

void ForgetJob(Job& job) {
    if (job.watch) {
        event_free(job.watch);
        job.watch = nullptr;
    }
    job.listener->inflight.erase(job.evcon);
}

// The connection's own end: its watcher of incoming bytes goes, and the
// budget its unread bodies held.
void DropConn(Conn* c) {
    Listener& l = *c->listener;
    if (c->input) evbuffer_remove_cb_entry(bufferevent_get_input(c->bev), c->input);
    if (c->output) evbuffer_remove_cb_entry(bufferevent_get_output(c->bev), c->output);
    ReleaseBody(c->framing.Outstanding());
    if (c->evcon) {
        l.conns.erase(c->evcon);
        l.recent.erase(c->recent);
    }
    bufferevent_decref(c->bev);
    delete c;
}

void ConnectionClosed(evhttp_connection* evcon, void* arg) {
    auto* c = static_cast<Conn*>(arg);
    Listener* l = c->listener;
    l->streams.erase(evcon);  // an answer cut off: its document goes
    auto it = l->inflight.find(evcon);
    if (it != l->inflight.end()) {
        std::shared_ptr<Job> job = it->second;
        job->cancelled = true;
        job->req = nullptr;  // evhttp frees it with the connection
        ForgetJob(*job);
    }
    DropConn(c);
}

void Touch(Conn* c) {
    if (c->evcon) c->listener->recent.splice(c->listener->recent.end(), c->listener->recent, c->recent);
}

// Makes room: the connection idle the longest (no command in flight) is
// closed. false when every connection is busy.
bool CloseOldestIdle(Listener& l, const Conn* keep) {
    for (Conn* c : l.recent) {
        if (c == keep || l.inflight.count(c->evcon)) continue;
        evhttp_connection_free(c->evcon);  // its close callback forgets it
        return true;
    }
    return false;
}

// --- bytes as they arrive (loop thread, before evhttp reads them) ---

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

void BytesArrived(evbuffer* buf, const evbuffer_cb_info* info, void* arg) {
    auto* c = static_cast<Conn*>(arg);
    if (info->n_added == 0 || c->framing.Stopped()) return;
    Touch(c);
    // Body bytes are only counted: they are not looked for in the buffer.
    // evhttp keeps a body with a length in this buffer until it is whole,
    // and finding the newest bytes walks the buffer from its start, so doing
    // that for every read would take time in the square of the body's size.
    const uint64_t opaque = std::min<uint64_t>(c->framing.OpaqueLeft(), info->n_added);
    c->framing.SkipOpaque(opaque);
    if (opaque == info->n_added) return;
    const size_t length = evbuffer_get_length(buf);
    const size_t fresh = info->n_added - opaque;  // the newest bytes, after the body's end
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

// --- answers waiting for their reader (loop thread) ---

constexpr timeval kAnswerWatchEvery = {1, 0};

void BytesSent(evbuffer*, const evbuffer_cb_info* info, void* arg) {
    if (info->n_deleted) static_cast<Conn*>(arg)->lastSent = std::chrono::steady_clock::now();
}

// An answer's memory is held until its reader has taken it: a reader that
// takes nothing more for AnswerTimeout seconds loses its connection, and
// the answer its memory.
void CheckAnswers(evutil_socket_t, short, void* arg) {
    auto& l = *static_cast<Listener*>(arg);
    const auto now = std::chrono::steady_clock::now();
    const auto limit = std::chrono::seconds(Host().answerTimeout);
    std::vector<evhttp_connection*> stalled;
    bool waiting = false;
    for (auto& [evcon, c] : l.conns) {
        if (evbuffer_get_length(bufferevent_get_output(c->bev)) == 0 && !l.streams.count(evcon)) continue;
        if (now - c->lastSent > limit)
            stalled.push_back(evcon);
        else
            waiting = true;
    }
    for (evhttp_connection* evcon : stalled) {
        ZLOG("_http_cb", "An answer not taken by its reader for %d s: the connection is closed", Host().answerTimeout);
        evhttp_connection_free(evcon);  // its close callback lets go of the answer
    }
    if (waiting) evtimer_add(l.answerWatch, &kAnswerWatchEvery);
}

// An answer starts on its way: its reader is watched until it has it.
void WatchAnswer(Listener& l, evhttp_connection* evcon) {
    auto it = l.conns.find(evcon);
    if (it == l.conns.end()) return;
    it->second->lastSent = std::chrono::steady_clock::now();
    if (!evtimer_pending(l.answerWatch, nullptr)) evtimer_add(l.answerWatch, &kAnswerWatchEvery);
}

// The client went away while its command runs: drop the connection now (the
// answer is never written to a freed request).
void WatchClient(evutil_socket_t fd, short what, void* arg) {
    auto* job = static_cast<Job*>(arg);
    if ((what & EV_CLOSED) || net::PeerGone(fd)) {
        ZLOG("_http_cb", "Client closed the connection while its command ran; the answer is dropped");
        job->cancelled = true;
        job->req = nullptr;
        evhttp_connection* evcon = job->evcon;
        Listener* l = job->listener;
        auto it = l->inflight.find(evcon);
        std::shared_ptr<Job> keep = it != l->inflight.end() ? it->second : nullptr;  // outlives ForgetJob
        ForgetJob(*job);
        evhttp_connection_free(evcon);
        return;
    }
    // Pipelined bytes wait in the socket: from now on watch only for the hang-up.
    event_del(job->watch);
    event_assign(job->watch, job->listener->base, fd, EV_CLOSED | EV_PERSIST, WatchClient, job);
    event_add(job->watch, nullptr);
}

void StartWatching(evutil_socket_t, short, void* arg) {
    auto* job = static_cast<Job*>(arg);
    int fd = bufferevent_getfd(evhttp_connection_get_bufferevent(job->evcon));
    event_assign(job->watch, job->listener->base, fd, EV_READ | EV_CLOSED | EV_PERSIST, WatchClient, job);
    event_add(job->watch, nullptr);
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

// --- the command (worker thread) ---

bool HeldForTests(uint64_t bodySize) { return g_testDelayMs > 0 && bodySize >= g_testDelayFrom; }

void PauseForTests(const Job& job) {
    ZLOG("_http_cb", "Command held for %ld ms (test setting)", g_testDelayMs);
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(g_testDelayMs);
    while ((g_testStuck || !job.cancelled) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

// The answer is parsed again for the log, so that its masks follow its
// structure like the request's do. An answer's document left to the front
// end is shown by the Base64 of its beginning.
void LogAnswer(const std::string& answer, const log::LogRules& rules, const char* native,
               const RequestDocuments::Attached* attached) {
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    std::string shown;
    if (doc.Parse(answer.data(), answer.size()) != tinyxml2::XML_SUCCESS) {
        shown = "[" + std::to_string(answer.size()) + " bytes]";
    } else if (attached) {
        const size_t prefix = std::min(attached->bytes.size(), (kLoggedDocument / 4 + 1) * 3);
        const std::string beginning = Base64Encode(attached->bytes.data(), prefix);
        shown = log::RedactDocument(doc, rules, kLoggedDocument,
                                    {attached->marker, beginning, Base64EncodedLength(attached->bytes.size())});
    } else {
        shown = log::RedactDocument(doc, rules, kLoggedDocument);
    }
    ZLOG("_http_cb", "%sOutput text:\r\n'%s'", native, shown.c_str());
}

// Parses the request text. A large Data text stays out of the parsed request
// (a stand-in takes its place) and where it was received, so that neither
// the parser's copy nor the command's decoding copies it (RequestDocuments);
// the body memory then goes with the document. Otherwise the body goes as
// soon as the parser has its copy.
bool ParseRequest(std::shared_ptr<BodyMemory> body, std::string_view text, tinyxml2::XMLDocument& doc,
                  RequestDocuments& documents) {
    if (auto span = FindDocumentText(text, kDocumentFrom)) {
        std::string standIn = "~" + NewGuidText() + "~";
        std::string rest;
        rest.reserve(text.size() - span->size() + standIn.size());
        rest.append(text.substr(0, span->begin)).append(standIn).append(text.substr(span->end));
        const bool parsed = WithinXmlLimits(rest, text.size()) &&
                            doc.Parse(rest.data(), rest.size()) == tinyxml2::XML_SUCCESS;
        SecureWipe(rest);
        const char* data = parsed ? RequestDataText(doc) : nullptr;
        if (data && standIn == data) {
            char* at = const_cast<char*>(text.data());  // the body's own memory
            at[span->end] = '\0';  // its end tag is in the parser's copy
            documents.text = at + span->begin;
            documents.length = span->size();
            documents.standIn = std::move(standIn);
            documents.memory = std::move(body);
            return true;
        }
        doc.Clear();  // the scan was misled: the whole text, as always
    }
    const bool parsed = WithinXmlLimits(text) && doc.Parse(text.data(), text.size()) == tinyxml2::XML_SUCCESS;
    body.reset();
    return parsed;
}

void LogRequest(const tinyxml2::XMLDocument& doc, const log::LogRules& rules, const char* native,
                const RequestDocuments& documents) {
    std::string shown;
    if (documents.text) {
        const std::string_view text(documents.text, documents.length);
        shown = log::RedactDocument(doc, rules, kLoggedDocument,
                                    {documents.standIn, text.substr(0, kLoggedDocument + 1), text.size()});
    } else {
        shown = log::RedactDocument(doc, rules, kLoggedDocument);
    }
    ZLOG("_http_cb", "%sInput text:\r\n'%s'", native, shown.c_str());
}

// The answer in the form the flags ask for: whole, or as a stream around the
// document the command left to the front end.
Answer EncodeFinal(std::string answer, RequestFlags flags, std::optional<RequestDocuments::Attached> attached) {
    Cp1251ToUtf8InPlace(answer);
    Answer out;
    const size_t at = attached ? answer.find(attached->marker) : std::string::npos;
    if (at == std::string::npos) {
        out.text = EncodeAnswer(std::move(answer), flags);
        return out;
    }
    std::string tail = answer.substr(at + attached->marker.size());
    answer.resize(at);
    out.stream = std::make_unique<AnswerStream>(std::move(answer), std::move(attached->bytes), std::move(tail), flags);
    return out;
}

// A document may be large: the body is unwrapped in its own memory, and the
// document is decoded there too, by the command that takes it.
std::unique_ptr<ParsedRequest> ParseCommand(std::shared_ptr<BodyMemory> body, size_t size, RequestFlags flags,
                                            RequestDocuments& documents) {
    auto request = std::make_unique<ParsedRequest>();
    request->flags = flags;
    std::string_view text = UnwrapBodyInPlace(body->data(), size);
    text = text.substr(0, DocumentLength(text));
    // What the unwrapping decoded no longer needs the body's tail.
    body->KeepOnly(static_cast<size_t>(text.data() + text.size() - body->data()) + 1);
    request->parsed = ParseRequest(std::move(body), text, request->doc, documents);
    if (log::IsOpen()) {
        request->logRules = LogRulesFor(request->parsed ? log::RequestCommand(request->doc) : "");
        if (request->parsed) LogRequest(request->doc, request->logRules, flags.native ? "(Native)" : "", documents);
    }
    return request;
}

// Runs the parsed request; the answer's document is encoded as it is sent.
Answer RunCommand(ParsedRequest& request, RequestDocuments& documents) {
    std::string answer;
    bool ok = false;
    if (!request.parsed)
        answer = BareErrorEnvelope(ZK_E_BAD_REQUEST_XML);
    else if (!(ok = ProcessRequestPOST(request.doc, answer)))
        answer = BareErrorEnvelope(ZK_E_BAD_REQUEST_PARAMS);
    request.doc.Clear();
    documents.memory.reset();  // the request's memory, unless the command took it
    documents.text = nullptr;
    std::optional<RequestDocuments::Attached> attached;
    if (ok) attached = std::move(documents.answer);
    documents.answer.reset();
    if (log::IsOpen())
        LogAnswer(answer, request.logRules, request.flags.native ? "(Native)" : "", attached ? &*attached : nullptr);
    return EncodeFinal(std::move(answer), request.flags, std::move(attached));
}

// Runs a stage of a request: its answer, or none when the stage leaves the
// request to a later one. Whatever fails (memory for a large body, say) is
// answered with the bare code 56 and logged; the service goes on.
template <class Stage>
std::optional<Answer> Safely(RequestFlags flags, RequestDocuments& documents, Stage&& stage) {
    try {
        return stage();
    } catch (const std::exception& e) {
        ZLOG("_http_cb", "Request failed: %s", e.what());
    } catch (...) {
        ZLOG("_http_cb", "Request failed");
    }
    documents.memory.reset();
    documents.answer.reset();
    try {
        return EncodeFinal(BareErrorEnvelope(ZK_E_BAD_REQUEST_PARAMS), flags, std::nullopt);
    } catch (...) {
        return Answer{};
    }
}

RequestFlags FlagsOf(Job& job) {
    if (!job.flags) job.flags = ReadFlags(std::string_view(job.body->data(), job.bodySize));
    return *job.flags;
}

// The request's share of the memory budget goes with its answer, sized to
// what the answer keeps until its reader has it. A request that found no
// room on its way, or whose answer finds none, is answered 503.
void SettleAnswerMemory(Answer& answer, RequestWork& work) {
    const uint64_t held = answer.stream                          ? answer.stream->HeldBytes()
                          : answer.text.size() >= kCountedAnswer ? answer.text.size()
                                                                 : 0;
    if (!work.busy && work.memory.Resize(held)) {
        answer.memory = std::move(work.memory);
        return;
    }
    ZLOG("_http_cb", "No room in the memory budget (MaxBodiesInFlight) for the answer: 503");
    SecureWipe(answer.text);
    answer = Answer{};
    answer.busy = true;
}

void RunJob(const std::shared_ptr<Job>& job) {
    if (HeldForTests(job->bodySize)) PauseForTests(*job);
    if (!job->cancelled) {
        RequestDocuments documents;
        RequestWork work;
        RequestContext context{job->pageOrigin, &job->cancelled, &documents, &work};
        ScopedRequest current(context);
        const RequestFlags flags = FlagsOf(*job);
        job->answer = *Safely(flags, documents, [&]() -> std::optional<Answer> {
            if (!job->parsed) job->parsed = ParseCommand(std::move(job->body), job->bodySize, flags, documents);
            return RunCommand(*job->parsed, documents);
        });
        SettleAnswerMemory(job->answer, work);
    }
    job->body.reset();  // a cancelled command's body was never taken
    job->parsed.reset();
    job->GiveBackBody();
    Listener& l = *job->listener;
    {
        std::lock_guard lock(l.finishedLock);
        l.finished.push_back(job);
    }
    // One wake-up of the loop takes every answer queued until it runs.
    if (!l.answersSignalled.exchange(true)) event_active(l.answers, EV_READ, 0);
}

// --- _http_cb (loop thread) ---

// A small request is parsed where it arrives; one for a command that answers
// at once is run here too, which spares it the hand-over to a worker and
// back (two thread wake-ups, more than such a command costs). false: the
// parsed request goes on to a worker.
bool AnswerAtOnce(Job& job) {
    RequestDocuments documents;
    RequestContext context{job.pageOrigin, &job.cancelled, &documents};
    ScopedRequest current(context);
    const RequestFlags flags = FlagsOf(job);
    std::optional<Answer> answer = Safely(flags, documents, [&]() -> std::optional<Answer> {
        job.parsed = ParseCommand(std::move(job.body), job.bodySize, flags, documents);
        if (job.parsed->parsed && !AnswersAtOnce(job.parsed->doc)) return std::nullopt;
        return RunCommand(*job.parsed, documents);
    });
    if (!answer) return false;
    job.answer = std::move(*answer);
    job.parsed.reset();
    return true;
}

void StartCommand(Listener& l, evhttp_request* req, evhttp_connection* evcon, uint64_t reserved,
                  std::string pageOrigin) {
    auto job = std::make_shared<Job>();
    job->pageOrigin = std::move(pageOrigin);
    job->reserved = reserved;
    job->listener = &l;
    job->req = req;
    job->evcon = evcon;
    // Taken out chain by chain, each drained once copied, into room reserved
    // but not yet touched; the drained chains' memory goes back to the system
    // as the copy proceeds: a large body is not held twice.
    evbuffer* in = evhttp_request_get_input_buffer(req);
    try {
        job->body = std::make_shared<BodyMemory>(evbuffer_get_length(in) + 1);  // room for a terminating zero
    } catch (const std::bad_alloc&) {
        evhttp_send_error(req, 503, nullptr);
        return;
    }
    size_t sinceReturned = 0;
    for (evbuffer_iovec chain; evbuffer_peek(in, -1, nullptr, &chain, 1) > 0 && chain.iov_len > 0;) {
        std::memcpy(job->body->data() + job->bodySize, chain.iov_base, chain.iov_len);
        job->bodySize += chain.iov_len;
        evbuffer_drain(in, chain.iov_len);
        if ((sinceReturned += chain.iov_len) >= kReturnMemoryEvery) {
            ReturnFreeMemory();
            sinceReturned = 0;
        }
    }
    job->body->KeepOnly(job->bodySize);
    if (job->bodySize >= kReturnMemoryEvery) ReturnFreeMemory();
    if (const char* origin = RequestHeader(req, "Origin")) job->origin = origin;
    if (job->bodySize <= kAtOnceBody && !HeldForTests(job->bodySize) && AnswerAtOnce(*job)) {
        job->GiveBackBody();
        Reply(*job);
        return;
    }
    // Most commands end long before a client could notice: the socket is
    // watched only once the command has run for a while.
    job->watch = evtimer_new(l.base, StartWatching, job.get());
    evtimer_add(job->watch, &kWatchAfter);
    l.inflight[evcon] = job;
    if (!g_pool->Post([job] { RunJob(job); })) {
        ForgetJob(*job);
        evhttp_send_error(req, 503, nullptr);
        return;
    }
    event_active(l.wakePool, EV_READ, 0);  // once, after every request of this pass has been posted
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

OwnOrigin OwnOrigins() { return OwnOrigin{Host().host, g_plain.port, g_secure.port}; }

Conn* FindConn(Listener& l, evhttp_connection* evcon) {
    auto it = l.conns.find(evcon);
    return it == l.conns.end() ? nullptr : it->second;
}

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

// --- connections ---

// evhttp makes a connection's bufferevent here, before it knows the socket.
// The connection is watched from its first byte on and adopted (checked,
// counted) in the same pass of the loop, once evhttp has set it up.
bufferevent* NewConnection(event_base* base, void* arg) {
    auto* l = static_cast<Listener*>(arg);
    bufferevent* bev = nullptr;
    if (l->tls) {
        SSL* ssl = SSL_new(l->ssl);
        if (!ssl) return nullptr;
        bev = bufferevent_openssl_socket_new(base, -1, ssl, BUFFEREVENT_SSL_ACCEPTING, BEV_OPT_CLOSE_ON_FREE);
        if (bev) bufferevent_openssl_set_allow_dirty_shutdown(bev, 1);
    } else {
        bev = bufferevent_socket_new(base, -1, BEV_OPT_CLOSE_ON_FREE);
    }
    if (!bev) return nullptr;
    // Large bodies arrive in larger reads (fewer system calls and buffer
    // pieces); the buffer still takes only what the socket holds.
    bufferevent_set_max_single_read(bev, kMaxSingleRead);
    auto* c = new Conn(l, bev);
    bufferevent_incref(bev);  // so that Adopt can tell whether evhttp kept it
    c->input = evbuffer_add_cb(bufferevent_get_input(bev), BytesArrived, c);
    c->output = evbuffer_add_cb(bufferevent_get_output(bev), BytesSent, c);
    l->pending.push_back(c);
    event_active(l->adopt, EV_READ, 0);
    return bev;
}

// The peer of a loopback connection must be a process of this user: other
// users of the machine get nothing (kept passwords, the data blob, keys).
bool PeerAllowed(int fd) {
    std::optional<uint32_t> owner = net::LocalPeerOwner(fd);
    if (owner) return *owner == net::OwnUser();
    return !net::PeerIsLoopback(fd);  // a remote client (Host "*"); a local one must be known
}

void Adopt(evutil_socket_t, short, void* arg) {
    auto& l = *static_cast<Listener*>(arg);
    std::vector<Conn*> fresh;
    fresh.swap(l.pending);
    for (Conn* c : fresh) {
        bufferevent_data_cb readcb, writecb;
        bufferevent_event_cb eventcb;
        void* owner = nullptr;
        bufferevent_getcb(c->bev, &readcb, &writecb, &eventcb, &owner);
        if (!owner) {  // evhttp gave it up already
            DropConn(c);
            continue;
        }
        c->evcon = static_cast<evhttp_connection*>(owner);
        l.conns[c->evcon] = c;
        c->recent = l.recent.insert(l.recent.end(), c);
        evhttp_connection_set_closecb(c->evcon, ConnectionClosed, c);
        if (l.acceptPaused && std::chrono::steady_clock::now() - l.lastAcceptFailure > kAcceptEpisode) {
            l.acceptPaused = false;
            ZLOG("_http_cb", "Accepting connections again");
        }
        if (!PeerAllowed(bufferevent_getfd(c->bev))) {
            ZLOG("_http_cb", "Connection from another user's process refused");
            evhttp_connection_free(c->evcon);
            continue;
        }
        net::SendWithoutDelay(bufferevent_getfd(c->bev));
        if (l.conns.size() > static_cast<size_t>(Host().maxConnections) && !CloseOldestIdle(l, c))
            evhttp_connection_free(c->evcon);  // every other one is busy: the newcomer waits its turn
    }
}

// accept() failed. Out of descriptors, the listening socket stays readable:
// accepting rests a moment (and the longest-idle connection is closed) so
// that the loop does not spin; the episode is logged once.
void AcceptFailed(evconnlistener* listener, void*) {
    const int error = EVUTIL_SOCKET_ERROR();
    for (Listener* l : g_listeners) {
        if (l->accepting != listener) continue;
        evconnlistener_disable(listener);
        l->lastAcceptFailure = std::chrono::steady_clock::now();
        if (!l->acceptPaused) {
            l->acceptPaused = true;
            ZLOG("_http_cb", "accept(): %s; accepting rests a moment", evutil_socket_error_to_string(error));
        }
        CloseOldestIdle(*l, nullptr);
        evtimer_add(l->resume, &kAcceptPause);
    }
}

void ResumeAccepting(evutil_socket_t, short, void* arg) {
    evconnlistener_enable(static_cast<Listener*>(arg)->accepting);
}

// --- start and stop ---

void BreakLoop(evutil_socket_t, short, void* arg) { event_base_loopbreak(static_cast<event_base*>(arg)); }

void WakePool(evutil_socket_t, short, void* arg) {
    auto& l = *static_cast<Listener*>(arg);
    if (g_pool && g_pool->Wake() == WorkerPool::Woken::NudgeLater && !evtimer_pending(l.nudge, nullptr))
        evtimer_add(l.nudge, &kNudgeDelay);
}

void NudgePool(evutil_socket_t, short, void* arg) {
    auto& l = *static_cast<Listener*>(arg);
    if (g_pool && g_pool->Nudge()) evtimer_add(l.nudge, &kNudgeDelay);
}

bool SetUpLoop(Listener& l) {
    l.base = event_base_new();
    if (!l.base || event_base_priority_init(l.base, kPriorities) != 0) return false;
    l.http = evhttp_new(l.base);  // its events take the middle priority
    l.wakePool = event_new(l.base, -1, 0, WakePool, &l);
    if (l.wakePool) event_priority_set(l.wakePool, kPriorities - 1);
    l.nudge = evtimer_new(l.base, NudgePool, &l);
    l.answers = event_new(l.base, -1, 0, SendAnswers, &l);
    l.stop = event_new(l.base, -1, 0, BreakLoop, l.base);
    l.adopt = event_new(l.base, -1, 0, Adopt, &l);
    l.resume = evtimer_new(l.base, ResumeAccepting, &l);
    l.answerWatch = evtimer_new(l.base, CheckAnswers, &l);
    if (!l.http || !l.wakePool || !l.nudge || !l.answers || !l.stop || !l.adopt || !l.resume || !l.answerWatch)
        return false;
    evhttp_set_gencb(l.http, HttpCallback, &l);
    // Every method reaches _http_cb, which answers the ones it does not serve.
    evhttp_set_allowed_methods(l.http, EVHTTP_REQ_GET | EVHTTP_REQ_POST | EVHTTP_REQ_HEAD | EVHTTP_REQ_PUT |
                                           EVHTTP_REQ_DELETE | EVHTTP_REQ_OPTIONS | EVHTTP_REQ_TRACE |
                                           EVHTTP_REQ_CONNECT | EVHTTP_REQ_PATCH);
    // A larger body is refused with 413 before it is read.
    evhttp_set_max_body_size(l.http, static_cast<ev_ssize_t>(Host().maxBody));
    evhttp_set_max_headers_size(l.http, kMaxHeaders);
    if (l.tls) {
        l.ssl = NewServerContext();
        if (!l.ssl) return false;
        evhttp_set_timeout(l.http, kHandshakeSeconds);
    } else {
        evhttp_set_timeout(l.http, kConnectionSeconds);
    }
    evhttp_set_bevcb(l.http, NewConnection, &l);
    evutil_make_socket_nonblocking(l.fd);
    evhttp_bound_socket* bound = evhttp_accept_socket_with_handle(l.http, l.fd);
    if (!bound) return false;
    l.accepting = evhttp_bound_socket_get_listener(bound);
    evconnlistener_set_error_cb(l.accepting, AcceptFailed);
    l.fd = net::kInvalidSocket;  // evhttp owns and closes it now
    return true;
}

void FreeLoop(Listener& l) {
    for (auto& [evcon, job] : l.inflight) {
        job->cancelled = true;
        job->req = nullptr;
        if (job->watch) event_free(job->watch);
        job->watch = nullptr;
    }
    l.inflight.clear();
    if (l.wakePool) event_free(l.wakePool);
    if (l.nudge) event_free(l.nudge);
    if (l.answers) event_free(l.answers);
    if (l.stop) event_free(l.stop);
    if (l.adopt) event_free(l.adopt);
    if (l.resume) event_free(l.resume);
    if (l.answerWatch) event_free(l.answerWatch);
    l.finished.clear();
    if (l.http) evhttp_free(l.http);  // closes its connections (their close callbacks forget them) and the listening socket
    // evhttp calls no close callback for a connection it already saw end:
    // what such connections still hold goes here.
    std::vector<Conn*> left;
    for (auto& [evcon, c] : l.conns) left.push_back(c);
    for (Conn* c : left) DropConn(c);
    for (Conn* c : l.pending) DropConn(c);
    l.pending.clear();
    // A connection freed above may still have deferred callbacks queued (a
    // TLS connection ends through them), each holding a reference to it:
    // freeing the base would drop them unrun, and the connection with its
    // TLS state would never be freed. One pass without waiting runs them.
    if (l.base) event_base_loop(l.base, EVLOOP_NONBLOCK);
    if (l.base) event_base_free(l.base);
    if (l.ssl) SSL_CTX_free(l.ssl);
    net::CloseSocket(l.fd);
    l.http = nullptr;
    l.base = nullptr;
    l.ssl = nullptr;
    l.wakePool = nullptr;
    l.nudge = nullptr;
    l.answers = nullptr;
    l.stop = nullptr;
    l.adopt = nullptr;
    l.resume = nullptr;
    l.answerWatch = nullptr;
    l.accepting = nullptr;
    l.fd = net::kInvalidSocket;
}

void CloseSockets() {
    for (Listener* l : g_listeners) {
        net::CloseSocket(l->fd);
        l->fd = net::kInvalidSocket;
    }
}

bool PrepareTls() {
    if (!PrepareLocalTls(ProgramFolder())) return false;
    TrustOptions trust;
    trust.programFolder = ProgramFolder();
    const char* home = getenv("HOME");
    trust.home = home ? home : "";
    const char* config = getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') trust.configHome = config;  // relative values are to be ignored
    trust.systemStore = Host().systemTrust;
    return InstallLocalTrust(trust);
}

// One socket per port in use; message (1) on failure.
bool CreateSockets(const HostSettings& s) {
    for (Listener* l : g_listeners) {
        if ((l->tls ? s.portS : s.port) == 0) continue;
        long error = 0;
        l->fd = net::CreateTcpSocket(&error);
        if (l->fd == net::kInvalidSocket) {
            char text[256];
            snprintf(text, sizeof text, "Неможливо запустити HTTP-сервер (1)\r\nПомилка socket: %lx", error);
            CloseSockets();
            ShowError(text);
            return false;
        }
    }
    return true;
}

// The plain port first, then the TLS port (never the plain one's); message (3) on failure.
bool BindSockets(const HostSettings& s, uint32_t address) {
    long error = 0;  // the last error recorded, 0 when none was
    bool bound = true;
    for (Listener* l : g_listeners) {
        int port = l->tls ? s.portS : s.port;
        if (port == 0) continue;
        if ((l->tls && port == s.port) || !net::BindAndListen(l->fd, address, static_cast<uint16_t>(port), &error)) {
            bound = false;
            break;
        }
        l->port = net::LocalPort(l->fd);
    }
    if (bound) return true;
    CloseSockets();
    char text[4096];
    snprintf(text, sizeof text, "Неможливо запустити HTTP-сервер (3)\r\n(Host: %s, Port: %u, SSL Port: %u)\r\nПомилка: %lx%s",
             s.host.c_str(), static_cast<unsigned>(s.port), static_cast<unsigned>(s.portS), error,
             error == 10048 ? "\r\nПорт вже зайнятий. Зверніться до системного адміністратора" : "");
    ShowError(text);
    return false;
}

}  // namespace

bool StartListeners() {
    const HostSettings& s = Host();
    if (s.port == 0 && s.portS == 0) {
        ShowError("Не визначено порти HTTP або HTTPS");
        return false;
    }
    signal(SIGPIPE, SIG_IGN);  // a vanished client must not end the process
    evthread_use_pthreads();
    if (const char* delay = getenv("ZELKORH_TEST_COMMAND_DELAY_MS")) g_testDelayMs = atol(delay);
    if (const char* from = getenv("ZELKORH_TEST_COMMAND_DELAY_FROM")) g_testDelayFrom = strtoull(from, nullptr, 10);
    g_testStuck = getenv("ZELKORH_TEST_COMMAND_STUCK") != nullptr;

    if (s.portS != 0 && !PrepareTls()) {
        ShowError("Неможливо встановити захищене підключення");
        return false;
    }
    if (!CreateSockets(s)) return false;
    uint32_t address = 0;
    long error = 0;
    if (!net::ResolveHost(s.host, &address, &error)) {
        CloseSockets();
        char text[2048];
        snprintf(text, sizeof text, "Неможливо запустити HTTP-сервер (2)\r\n(Host: %s)\r\nПомилка gethostbyname: %lx",
                 s.host.c_str(), error);
        ShowError(text);
        return false;
    }
    if (!BindSockets(s, address)) return false;
    for (Listener* l : g_listeners) {
        if (l->fd == net::kInvalidSocket) continue;
        if (!SetUpLoop(*l)) {
            for (Listener* f : g_listeners) FreeLoop(*f);
            ShowError("Неможливо встановити захищене підключення");
            return false;
        }
    }
    g_pool = std::make_unique<WorkerPool>(kWorkers);
    std::lock_guard lock(g_runLock);
    g_stopped = false;
    return true;
}

void RunListeners() {
    std::lock_guard lock(g_runLock);
    if (g_stopped) return;
    for (Listener* l : g_listeners) {
        if (!l->base || l->thread.joinable()) continue;
        event_base* base = l->base;
        l->thread = std::thread([base] { event_base_dispatch(base); });
    }
}

bool StopListeners() {
    {
        std::lock_guard lock(g_runLock);
        g_stopped = true;
    }
    for (Listener* l : g_listeners)
        if (l->stop) event_active(l->stop, EV_READ, 0);
    for (Listener* l : g_listeners)
        if (l->thread.joinable()) l->thread.join();
    // The loops have ended: their answers can no longer be sent.
    for (Listener* l : g_listeners)
        for (auto& [evcon, job] : l->inflight) job->cancelled = true;
    if (!g_pool) return true;
    if (!g_pool->Stop(kShutdownGrace)) {
        ZLOG("StopListeners", "Commands still running at shutdown");
        return false;
    }
    g_pool.reset();
    return true;
}

void TearDownListeners() {
    if (g_pool) return;  // a command still runs: its loop must stay allocated
    for (Listener* l : g_listeners) FreeLoop(*l);
    ReleaseLocalTls();
}

uint16_t PlainPort() { return g_plain.port; }
uint16_t TlsPort() { return g_secure.port; }

}  // namespace zk::http
