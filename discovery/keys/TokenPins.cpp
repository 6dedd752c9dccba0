#include "discovery/keys/TokenPins.h"

#include "discovery/keys/PasswordThrottle.h"
#include "platform/CodePage.h"
#include "provider/ZelkorD.h"

namespace zk {

int TryTokenPin(const std::string& providerName, int32_t slot, TokenPin kind, const std::string& pin,
                const std::function<int()>& attempt) {
    // The provider matches token names without regard to case: so does the throttle.
    std::string token = "token ";
    for (char c : providerName) token += static_cast<char>(LowerCp1251(static_cast<unsigned char>(c)));
    token += " " + std::to_string(slot) + (kind == TokenPin::Officer ? " SO" : "");
    PasswordTry turn(token, reinterpret_cast<const uint8_t*>(token.data()), token.size(), pin);
    if (!turn.Allowed()) return ZK_E_SIGN_OR_PASSWORD;
    const int code = attempt();
    turn.Report(code, code == ZK_E_OK);
    return code;
}

}  // namespace zk
