// The automatic update: a background thread compares the digest list on the
// update server with the program folder, downloads what differs, checks every
// file against its listed MD5 (and the list against its signature when
// UpdateSigner is set), stages the files beside their targets and asks the
// service to restart into them (see StagedUpdate.h).
//
// Transfers are https only, the server's certificate always verified (against
// UpdateCA when set), bounded in size and time, and cancelled at shutdown.
#pragma once
#include <string>

#include "commands/service/ServiceHost.h"

namespace zk::update {

// The built-in base address of the update server.
const char* BuiltInBase();

// The base address the settings ask for: UpdateUrl, else the built-in one.
// Empty, with the reason in why, when UpdateUrl is not an https address.
std::string ConfiguredBase(std::string* why = nullptr);

// Set by start-up when staged files could not all be installed: the next run
// fails at once (and is tried again an hour later).
void SetPendingMark(bool pending);

// Start-up background thread: a "Path" kept in Params.ini by an earlier run
// makes the first run start at once (when AutoUpdate is on); the base
// address is the configured one in every case.
void LoadUpdateBase();

// Starts the update thread (also when AutoUpdate is off: each run then does
// nothing) and logs "Start. AutoUpdate enabled|disabled".
void AutoUpdateInit();
// Stops it: transfers are cancelled, the thread is given 10 seconds. Logs "Finish".
void AutoUpdateTerm();

// What the update thread is doing (GET_UPDATE_INFO reads it through the
// service host the host hands down).
UpdateStatus CurrentStatus();

// One run now, on the calling thread (the thread does the same on its
// schedule); true on success.
bool RunUpdateOnce();

// After a run that staged an update: the program that the ending service is
// to be replaced by (the temporary copy that installs the update); else empty.
std::string RestartProgram();

}  // namespace zk::update
