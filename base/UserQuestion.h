// A question put to the user at the desktop about something a page asked
// for (an operation that cannot be undone). The host provides the asking at
// start-up (a dialog in a desktop session) and takes it back at shutdown;
// without it there is nobody to ask.
#pragma once
#include <functional>
#include <string>

namespace zk {

enum class UserAnswer {
    Yes,
    No,           // declined, or the dialog closed unanswered (its time ran out, the page went)
    NobodyToAsk,  // no desktop session, or no dialog program
    Busy,         // another question is open: one at a time
};

using UserAsker = std::function<UserAnswer(const std::string& questionUtf8)>;

void SetUserAsker(UserAsker asker);
UserAnswer AskUser(const std::string& questionUtf8);

}  // namespace zk
