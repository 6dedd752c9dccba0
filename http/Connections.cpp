// Connections (loop thread): made and adopted (checked, counted), the longest
// idle closed to make room, accepting rested when descriptors run out, and
// answers their readers stopped taking closed with their connection.
#include "http/ServerParts.h"

#include <event2/bufferevent_ssl.h>

#include <algorithm>

#include "platform/PeerCredentials.h"

namespace zk::http::server {

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


Conn* FindConn(Listener& l, evhttp_connection* evcon) {
    auto it = l.conns.find(evcon);
    return it == l.conns.end() ? nullptr : it->second;
}


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
    // TLS connections take larger reads (fewer system calls and buffer
    // pieces); the buffer still takes only what the socket holds. Plain
    // ones read 4 KiB at a time whatever this says: their large bodies are
    // read ahead by the landing (BodyLanding).
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
    for (Listener* l : TheServer().listeners) {
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

}  // namespace zk::http::server
