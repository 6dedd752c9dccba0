// The baseline of bench/http_bench.sh: a bare evhttp server on one loop thread
// that answers every request with the same bytes and headers as the service's
// GET_VERSION answer, without parsing or dispatching anything. With
// --changelist its loop folds a pass's epoll changes the way the service's
// loops do, for a like-for-like comparison.
// Usage: bare_evhttp <port> <file with the answer body> [--changelist]
#include <event2/buffer.h>
#include <event2/event.h>
#include <event2/http.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace {

std::string g_body;

void Answer(evhttp_request* req, void*) {
    evkeyvalq* headers = evhttp_request_get_output_headers(req);
    evhttp_add_header(headers, "Content-Type", "text/html; charset=utf-8");
    evhttp_add_header(headers, "Access-Control-Allow-Origin", "*");
    evbuffer* out = evbuffer_new();
    evbuffer_add(out, g_body.data(), g_body.size());
    evhttp_send_reply(req, 200, "HTTP_OK", out);
    evbuffer_free(out);
}

}  // namespace

int main(int argc, char** argv) {
    const bool changelist = argc == 4 && std::string(argv[3]) == "--changelist";
    if (argc != 3 && !changelist) {
        fprintf(stderr, "usage: %s <port> <body file> [--changelist]\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[2], std::ios::binary);
    g_body.assign(std::istreambuf_iterator<char>(in), {});
    signal(SIGPIPE, SIG_IGN);
    event_config* config = event_config_new();
    if (changelist) event_config_set_flag(config, EVENT_BASE_FLAG_EPOLL_USE_CHANGELIST);
    event_base* base = event_base_new_with_config(config);
    event_config_free(config);
    evhttp* http = evhttp_new(base);
    evhttp_set_gencb(http, Answer, nullptr);
    if (evhttp_bind_socket(http, "127.0.0.1", static_cast<uint16_t>(atoi(argv[1]))) != 0) {
        perror("bind");
        return 1;
    }
    event* stop = evsignal_new(base, SIGTERM, [](evutil_socket_t, short, void* b) { event_base_loopbreak(static_cast<event_base*>(b)); }, base);
    event_add(stop, nullptr);
    event_base_dispatch(base);
    event_free(stop);
    evhttp_free(http);
    event_base_free(base);
    return 0;
}
