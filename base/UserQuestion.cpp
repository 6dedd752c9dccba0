#include "base/UserQuestion.h"

#include <mutex>

namespace zk {
namespace {

std::mutex g_lock;
UserAsker g_asker;

}  // namespace

void SetUserAsker(UserAsker asker) {
    std::lock_guard hold(g_lock);
    g_asker = std::move(asker);
}

UserAnswer AskUser(const std::string& questionUtf8) {
    UserAsker asker;
    {
        std::lock_guard hold(g_lock);
        asker = g_asker;
    }
    return asker ? asker(questionUtf8) : UserAnswer::NobodyToAsk;
}

}  // namespace zk
