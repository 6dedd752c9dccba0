#include "zelkord/Errors.h"

#include "zelkord/Registry.h"

namespace zkd {
namespace {

thread_local int t_code = 0;
thread_local std::string t_message;

int LastCode() { return t_code; }

const char* LastMessage() { return t_message.empty() ? nullptr : t_message.c_str(); }

}  // namespace

int Fail(int code, const std::string& message) {
    t_code = code;
    t_message = message;
    return code;
}

int Fail(int code) { return Fail(code, std::string()); }

int FailQuietly(int code, const char* prefix, const char* text) noexcept {
    t_code = code;
    try {
        t_message.assign(prefix ? prefix : "").append(text ? text : "");
    } catch (...) {
        t_message.clear();
    }
    return code;
}

const std::string& LastErrorText() { return t_message; }

LastErrorKept::LastErrorKept() : code_(t_code), message_(t_message) {}

LastErrorKept::~LastErrorKept() {
    t_code = code_;
    t_message.swap(message_);
}

void ClearError() {
    t_code = 0;
    t_message.clear();
}

ZKD_EXPORT(ZKErrors_GetLastCSPError, LastCode);
ZKD_EXPORT(ZKErrors_ResetCSPError, ClearError);
ZKD_EXPORT(ZKErrors_GetLastCSPMessage, LastMessage);

}  // namespace zkd
