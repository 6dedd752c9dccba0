#include "zelkord/Errors.h"

#include "provider/ZelkorD.h"
#include "zelkord/Export.h"

namespace zkd {
namespace {

thread_local int t_code = 0;
thread_local std::string t_message;

}  // namespace

int Fail(int code, const std::string& message) {
    t_code = code;
    t_message = message;
    return code;
}

int Fail(int code) { return Fail(code, std::string()); }

void ClearError() {
    t_code = 0;
    t_message.clear();
}

}  // namespace zkd

ZKD_EXPORT int ZKErrors_GetLastCSPError(void) { return zkd::t_code; }

ZKD_EXPORT void ZKErrors_ResetCSPError(void) { zkd::ClearError(); }

ZKD_EXPORT const char* ZKErrors_GetLastCSPMessage(void) {
    return zkd::t_message.empty() ? nullptr : zkd::t_message.c_str();
}
