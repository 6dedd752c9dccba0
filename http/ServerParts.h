// The HTTP front end's parts and what they share; internal to http/.
//   HTTPServer.cpp   the server: listeners' sockets and loops, start and stop
//   Connections.cpp  connections: adopted, watched, counted, closed
//   Arrival.cpp      requests as they arrive: the bytes before evhttp, _http_cb
//   CommandRuns.cpp  commands handed to the workers, watched, cancelled, answered
//   Replies.cpp      answers on the wire: envelope forms, CORS, fixed documents
// Connections are served by libevent's evhttp on one loop thread per
// listener; evhttp takes no locks, so every evhttp and evbuffer call stays on
// that loop thread. A POST body is taken out there (a large one lands in its
// own memory as it arrives: BodyLanding.h) and its command runs on
// the worker pool; answers come back to the loop in batches (one wake-up of
// the loop for all the answers finished meanwhile).
#pragma once
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/listener.h>
#include <openssl/ssl.h>
#include <tinyxml2.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/Log.h"
#include "base/LogRedact.h"
#include "base/MemoryBudget.h"
#include "base/RequestDocument.h"
#include "base/Settings.h"
#include "http/AnswerStream.h"
#include "http/BodyLanding.h"
#include "http/HTTPServer.h"
#include "http/RequestEncoding.h"
#include "http/RequestFraming.h"
#include "http/WorkerPool.h"
#include "platform/Memory.h"
#include "platform/SecureWipe.h"
#include "platform/Sockets.h"

namespace zk::http::server {

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
constexpr size_t kLoggedBytes = (kLoggedDocument / 4 + 1) * 3;  // of a document in bytes: their Base64 fills that
constexpr size_t kAnswerPiece = 1 << 20;       // of a streamed answer, made at a time
constexpr size_t kAtOnceBody = 4 << 10;        // a body this small is parsed where it arrives
constexpr size_t kCountedAnswer = 64 << 10;    // an answer from this size holds its memory against the budget
constexpr const char* kHtml = "text/html; charset=utf-8";
constexpr const char* kTextPlain = "text/plain; charset=utf-8";

struct Listener;

// Request bodies count against the memory budget (MemoryBudget.h) from
// when they are declared (or a chunk announced), before they are read,
// until the command that used them has ended.
inline bool ReserveBody(uint64_t n) { return ReserveMemory(n); }
inline void ReleaseBody(uint64_t n) { ReleaseMemory(n); }

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
    bool answered = false;   // the command ran and gave its own answer (not the bare error)
    log::LogRules logRules;  // how the log shows the request and its answer (the command's row)
    // Ready for the next request; the parser keeps its memory.
    void Clear() {
        doc.Clear();
        parsed = answered = false;
        logRules = {};
        flags = {};
    }
};

// The last answer of a command whose answer never changes (Runs::AtOnceSame)
// and the very body of the request it answered.
struct SameAnswer {
    SecretString body;   // wiped when replaced: a page may put anything in a body
    std::string answer;  // as sent
};

struct Job {
    Listener* listener = nullptr;
    evhttp_request* req = nullptr;       // nullptr once the connection is gone
    evhttp_connection* evcon = nullptr;
    event* watch = nullptr;
    std::shared_ptr<BodyMemory> body;    // the request body, bodySize bytes of it
    size_t bodySize = 0;
    std::optional<RequestFlags> flags;   // read from the body by whoever parses it
    std::optional<std::string_view> text;  // the request text, when unwrapped as it arrived (in body)
    std::optional<ArrivingDocument::Span> document;  // decoded in text as it arrived
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
    BodyLanding landing;                 // a large body, in its own memory as it arrives
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
    // Loop thread only: the parser small requests reuse, the raw body of
    // the one being parsed (wiped after it), and the answer a page that
    // asks again in the same bytes gets without a parse.
    std::unique_ptr<ParsedRequest> spareRequest;
    std::string smallBody;
    SameAnswer sameAnswer;
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


// The server: both listeners, the worker pool, and whether it has stopped.
struct Server {
    Listener plain{false}, secure{true};
    Listener* const listeners[2] = {&plain, &secure};
    std::unique_ptr<WorkerPool> pool;
    std::mutex runLock;
    bool stopped = false;
    CommandHold hold;  // tests only (SetCommandHoldForTesting)
};
Server& TheServer();

// --- Replies.cpp (loop thread) ---
void AddHeader(evhttp_request* req, const char* name, const char* value);
const char* RequestHeader(evhttp_request* req, const char* name);
void SendEmpty(evhttp_request* req, int code, const char* reason);
void SendBadRequest(evhttp_request* req, const char* text);
// At the first request a TLS connection has finished its handshake: from
// then on only the idle limit applies. Called before the reply is sent.
void FirstRequestDone(Listener& l, evhttp_connection* evcon);
// Sends a finished job's answer (or 503 when it found no memory).
void Reply(Job& job);
// The loop's event for answers the workers finished.
void SendAnswers(evutil_socket_t, short, void* listener);
void ServeDocument(Listener& l, evhttp_request* req);
// A CORS preflight, and its answer.
bool IsPreflight(evhttp_request* req);
void AnswerPreflight(evhttp_request* req);

// --- Connections.cpp (loop thread) ---
void ForgetJob(Job& job);
void DropConn(Conn* c);
void Touch(Conn* c);
// Makes room: the connection idle the longest (no command in flight) is
// closed. false when every connection is busy.
bool CloseOldestIdle(Listener& l, const Conn* keep);
Conn* FindConn(Listener& l, evhttp_connection* evcon);
// An answer starts on its way: its reader is watched until it has it.
void WatchAnswer(Listener& l, evhttp_connection* evcon);
void CheckAnswers(evutil_socket_t, short, void* listener);
bufferevent* NewConnection(event_base* base, void* listener);
void Adopt(evutil_socket_t, short, void* listener);
void AcceptFailed(evconnlistener* listener, void*);
void ResumeAccepting(evutil_socket_t, short, void* listener);

// --- Arrival.cpp (loop thread) ---
void BytesArrived(evbuffer* buf, const evbuffer_cb_info* info, void* conn);
void HttpCallback(evhttp_request* req, void* listener);

// --- CommandRuns.cpp ---
// Takes the request's body out of its connection and runs its command: at
// once for a small request of a command that answers at once, else on a
// worker (the loop thread watches the client meanwhile).
void StartCommand(Listener& l, evhttp_request* req, evhttp_connection* evcon, uint64_t reserved,
                  std::string pageOrigin);
void WakePool(evutil_socket_t, short, void* listener);
void NudgePool(evutil_socket_t, short, void* listener);

}  // namespace zk::http::server
