// The loopback listeners: the plain HTTP port and the TLS port, each with its
// own event loop thread (libevent), and a bounded pool of worker threads that
// run the commands. Every request goes to _http_cb.
#pragma once
#include <cstdint>

namespace zk::http {

// Start-up, main thread, once the TLS material is prepared (LocalTls.h) when
// the TLS port is on: creates, binds and listens on the sockets; shows its
// own messages. false: nothing is left open.
bool StartListeners();

// Start-up background thread: starts the loop threads.
void RunListeners();

// Shutdown: ends the loops and waits for their threads, then gives running
// commands a few seconds. false when a command is still running.
bool StopListeners();

// Shutdown, after stop: frees what the listeners held.
void TearDownListeners();

// The ports actually listened on (0 when off).
uint16_t PlainPort();
uint16_t TlsPort();

// For tests that need commands in flight (the service built for them,
// tests/fixtures/held_service.cpp): every command whose request body has at
// least fromBytes waits delayMs before it runs, or until its client has gone
// (unless stuck: a runaway command that ignores it). Off in the service.
struct CommandHold {
    long delayMs = 0;
    uint64_t fromBytes = 0;
    bool stuck = false;
};
void SetCommandHoldForTesting(const CommandHold& hold);

}  // namespace zk::http
