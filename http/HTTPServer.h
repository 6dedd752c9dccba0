// The loopback listeners: the plain HTTP port and the TLS port, each with its
// own event loop thread (libevent), and a bounded pool of worker threads that
// run the commands. Every request goes to _http_cb.
#pragma once
#include <cstdint>

namespace zk::http {

// Start-up, main thread: prepares the TLS material (and its trust), creates,
// binds and listens on the sockets; shows its own messages. false: nothing
// is left open.
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

}  // namespace zk::http
