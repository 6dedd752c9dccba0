#include "commands/tokens/TokenConsent.h"

#include <algorithm>
#include <cstring>

#include "base/Log.h"
#include "base/RequestContext.h"
#include "base/Settings.h"
#include "base/UserQuestion.h"
#include "platform/CodePage.h"

namespace zk {
namespace {

constexpr size_t kShownOrigin = 200;

struct Operation {
    const char* command;
    const char* what;  // as the dialog names it
};
constexpr Operation kOperations[] = {
    {"DONGLES_INIT", "ініціалізувати токен (усі дані на ньому буде знищено)"},
    {"DONGLES_UNLOCK", "розблокувати PIN-код токена кодом адміністратора"},
    {"DONGLES_CHANGE_PASS", "змінити PIN-код або пароль ключа на токені"},
    {"DONGLES_KEY_DELETE", "видалити ключ з токена"},
    {"DONGLES_FILE_SET", "записати файл на токен"},
};

const char* OperationText(const char* command) {
    for (const Operation& op : kOperations)
        if (std::strcmp(op.command, command) == 0) return op.what;
    return command;
}

// What a page sent as its origin, fit for a dialog line: printable, cut.
std::string Shown(const std::string& text) {
    std::string out;
    for (unsigned char c : text.substr(0, kShownOrigin)) out += c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);
    return out;
}

}  // namespace

std::optional<std::string> TokenConsentRefusal(const char* command, const std::string& providerName, int32_t slot) {
    const std::string& origin = CurrentRequest().origin;
    if (origin.empty()) return std::nullopt;
    const auto& listed = Host().tokenAdminOrigins;
    if (std::find(listed.begin(), listed.end(), origin) != listed.end()) return std::nullopt;
    const std::string question = "Сайт «" + Shown(origin) + "» просить " + OperationText(command) + ".\nТокен: «" +
                                 Cp1251ToUtf8(providerName) + "», слот " +
                                 std::to_string(static_cast<uint32_t>(slot)) + ".\n\nДозволити?";
    const UserAnswer answer = AskUser(question);
    ZLOG("TokenConsent", "%s from '%s' on '%s' slot %d: %s", command, Shown(origin).c_str(), providerName.c_str(),
         slot,
         answer == UserAnswer::Yes ? "allowed by the user" : answer == UserAnswer::No ? "declined by the user"
         : answer == UserAnswer::Busy ? "another question is open" : "nobody to ask: refused");
    switch (answer) {
        case UserAnswer::Yes:
            return std::nullopt;
        case UserAnswer::No:
            return "Користувач не дозволив цю операцію з токеном для сайту " + Shown(origin);
        case UserAnswer::Busy:
            return "Користувач ще не відповів на інший запит щодо токена; спробуйте пізніше";
        case UserAnswer::NobodyToAsk:
            break;
    }
    return "Операції, що змінюють або блокують токен, сайтам дозволено лише з налаштуванням TokenAdminOrigins "
           "або з підтвердження користувача";
}

}  // namespace zk
