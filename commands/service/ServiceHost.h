// What the service commands need from the layers above them, handed down by
// the host at start-up: the update thread's status (GET_UPDATE_INFO) and the
// tray's key folder choice (SELECT_KEY_FOLDER). Before start-up, and in
// processes without a host (tests, tools), nothing is known of updates and
// the choice is not offered.
#pragma once
#include <ctime>
#include <functional>

namespace zk {

// What the automatic update is doing.
struct UpdateStatus {
    bool enabled = false;     // the AutoUpdate setting
    bool newVersion = false;  // the last check found files on the server that are not installed yet
    bool restarting = false;  // an update is staged and the service is restarting into it
    time_t lastRun = 0;       // when the last run ended; 0 before the first
    bool lastRunOk = false;
};

struct ServiceHost {
    std::function<UpdateStatus()> updateStatus;  // the update thread's, read at any time
    std::function<void()> chooseKeyFolder;       // opens the folder choice; returns at once
};

// Set at start-up, cleared (an empty one) at shutdown.
void SetServiceHost(ServiceHost host);

UpdateStatus CurrentUpdateStatus();
void ChooseKeyFolder();

}  // namespace zk
