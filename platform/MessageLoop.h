// The main thread's message queue: other threads post work to it or send it
// and wait; a quit request ends Run(). SIGTERM, SIGINT and SIGHUP are the end
// of the session: they post the quit with exit code 0.
#pragma once
#include <functional>

namespace zk::loop {

// Blocks the end-of-session signals in the calling thread and every thread it
// starts afterwards; call first thing in main, before any thread exists.
void BlockQuitSignals();

// Runs the queue on the calling thread until the quit; returns its exit code.
int Run();

// Queues work for the loop thread and returns at once.
void Post(std::function<void()> work);
// Queues work and waits until the loop thread has run it (runs it at once
// when called on the loop thread). Returns false when the loop has ended.
bool Send(std::function<void()> work);
// Ends Run() with exitCode after the work queued before it.
void PostQuit(int exitCode);

}  // namespace zk::loop
