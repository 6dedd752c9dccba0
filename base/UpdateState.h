// What the automatic update is doing, published by its thread for the
// service commands (GET_UPDATE_INFO) to report.
#pragma once
#include <ctime>

namespace zk {

struct UpdateState {
    bool enabled = false;     // the AutoUpdate setting
    bool newVersion = false;  // the last check found files on the server that are not installed yet
    bool restarting = false;  // an update is staged and the service is restarting into it
    time_t lastRun = 0;       // when the last run ended; 0 before the first
    bool lastRunOk = false;
};

UpdateState CurrentUpdateState();
void PublishUpdateState(const UpdateState& state);

}  // namespace zk
