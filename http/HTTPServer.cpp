// The HTTP server: the listeners' sockets, their event loops and the worker
// pool, from start to stop. The parts it runs: ServerParts.h.
#include "http/HTTPServer.h"

#include <event2/thread.h>

#include <csignal>
#include <cstdlib>

#include "base/ErrorMessage.h"
#include "http/LocalTls.h"
#include "http/ServerParts.h"
#include "platform/ModulePath.h"

namespace zk::http {
namespace server {

Server& TheServer() {
    static Server* server = new Server;  // outlives every loop and worker, even at exit
    return *server;
}

namespace {

void BreakLoop(evutil_socket_t, short, void* arg) { event_base_loopbreak(static_cast<event_base*>(arg)); }

bool SetUpLoop(Listener& l) {
    // The changelist folds the adds and deletes one pass makes on a socket
    // into one epoll_ctl: a request's read-off, write-on, write-off, read-on
    // cost two calls instead of four. It is unsafe only with dup()ed
    // descriptors in the loop, and the loop is given none.
    event_config* config = event_config_new();
    if (!config) return false;
    event_config_set_flag(config, EVENT_BASE_FLAG_EPOLL_USE_CHANGELIST);
    l.base = event_base_new_with_config(config);
    event_config_free(config);
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
    for (Listener* l : TheServer().listeners) {
        net::CloseSocket(l->fd);
        l->fd = net::kInvalidSocket;
    }
}

// One socket per port in use; message (1) on failure.
bool CreateSockets(const HostSettings& s) {
    for (Listener* l : TheServer().listeners) {
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
    for (Listener* l : TheServer().listeners) {
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
}  // namespace server

using namespace server;

void SetCommandHoldForTesting(const CommandHold& hold) { TheServer().hold = hold; }

bool StartListeners() {
    const HostSettings& s = Host();
    if (s.port == 0 && s.portS == 0) {
        ShowError("Не визначено порти HTTP або HTTPS");
        return false;
    }
    signal(SIGPIPE, SIG_IGN);  // a vanished client must not end the process
    evthread_use_pthreads();

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
    for (Listener* l : TheServer().listeners) {
        if (l->fd == net::kInvalidSocket) continue;
        if (!SetUpLoop(*l)) {
            for (Listener* f : TheServer().listeners) FreeLoop(*f);
            ShowError("Неможливо встановити захищене підключення");
            return false;
        }
    }
    TheServer().pool = std::make_unique<WorkerPool>(kWorkers);
    std::lock_guard lock(TheServer().runLock);
    TheServer().stopped = false;
    return true;
}

void RunListeners() {
    std::lock_guard lock(TheServer().runLock);
    if (TheServer().stopped) return;
    for (Listener* l : TheServer().listeners) {
        if (!l->base || l->thread.joinable()) continue;
        event_base* base = l->base;
        l->thread = std::thread([base] { event_base_dispatch(base); });
    }
}

bool StopListeners() {
    {
        std::lock_guard lock(TheServer().runLock);
        TheServer().stopped = true;
    }
    for (Listener* l : TheServer().listeners)
        if (l->stop) event_active(l->stop, EV_READ, 0);
    for (Listener* l : TheServer().listeners)
        if (l->thread.joinable()) l->thread.join();
    // The loops have ended: their answers can no longer be sent.
    for (Listener* l : TheServer().listeners)
        for (auto& [evcon, job] : l->inflight) job->cancelled = true;
    if (!TheServer().pool) return true;
    if (!TheServer().pool->Stop(kShutdownGrace)) {
        ZLOG("StopListeners", "Commands still running at shutdown");
        return false;
    }
    TheServer().pool.reset();
    return true;
}

void TearDownListeners() {
    if (TheServer().pool) return;  // a command still runs: its loop must stay allocated
    for (Listener* l : TheServer().listeners) FreeLoop(*l);
    ReleaseLocalTls();
}

uint16_t PlainPort() { return TheServer().plain.port; }
uint16_t TlsPort() { return TheServer().secure.port; }

}  // namespace zk::http

