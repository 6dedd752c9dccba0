#include "commands/service/ServiceHost.h"

#include <mutex>

namespace zk {
namespace {

std::mutex g_lock;
ServiceHost g_host;

ServiceHost Current() {
    std::lock_guard hold(g_lock);
    return g_host;
}

}  // namespace

void SetServiceHost(ServiceHost host) {
    std::lock_guard hold(g_lock);
    g_host = std::move(host);
}

UpdateStatus CurrentUpdateStatus() {
    const ServiceHost host = Current();
    return host.updateStatus ? host.updateStatus() : UpdateStatus{};
}

void ChooseKeyFolder() {
    if (const ServiceHost host = Current(); host.chooseKeyFolder) host.chooseKeyFolder();
}

}  // namespace zk
