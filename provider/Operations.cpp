// The provider operations' common ground: the sized call and log lines that
// Invoke and the operation files use, outputs, the library table and the
// last error. The operations themselves live in one file per family.
#include "provider/Operations.h"

#include "base/Log.h"
#include "provider/OperationCalls.h"
#include "provider/Provider.h"

namespace zk::provider {

namespace detail {

int SizedCall(Output& out, bool secret, const std::function<int(const OutSlot&)>& call) {
    return calls::TwoCalls(out, secret, [&](uint8_t* buffer, uint32_t* len) { return call(OutSlot{buffer, len}); });
}

void LogBefore(const Site& site, const char* name) {
    if (site.function) log::Write(site.function, site.file, site.line, "Before %s", name);
}

void LogAfter(const Site& site, const char* name, int code) {
    if (site.function) log::Write(site.function, site.file, site.line, "After %s, Return: %d", name, code);
}

}  // namespace detail

// --- Output

Output::Output(Output&& other) noexcept
    : bytes_(std::move(other.bytes_)),
      capacity_(std::exchange(other.capacity_, 0)),
      size_(std::exchange(other.size_, 0)),
      secret_(other.secret_) {}

Output& Output::operator=(Output&& other) noexcept {
    if (this != &other) {
        Release();
        bytes_ = std::move(other.bytes_);
        capacity_ = std::exchange(other.capacity_, 0);
        size_ = std::exchange(other.size_, 0);
        secret_ = other.secret_;
    }
    return *this;
}

// Only the written part is wiped: a sizing call may report an upper bound
// (a whole document's length), and the pages past what the provider wrote
// were never touched. Until SetSize, the whole buffer counts as written.
void Output::Release() {
    if (bytes_ && secret_) SecureWipe(bytes_.get(), size_);
    bytes_.reset();
    capacity_ = size_ = 0;
}

uint8_t* Output::Allocate(size_t capacity, bool secret) {
    Release();
    bytes_ = AllocateLarge(capacity);
    capacity_ = size_ = capacity;
    secret_ = secret;
    return bytes_.get();
}

void Output::SetSize(size_t size) { size_ = std::min(size, capacity_); }

SharedBytes Shared(Output&& out) {
    auto owner = std::make_shared<Output>(std::move(out));
    uint8_t* data = owner->data();
    const size_t size = owner->size();
    return SharedBytes(std::move(owner), data, size);
}

// --- library table

bool IsLibraryLoaded(const char* code) {
    auto f = Slot<ZKLD_SLOT_LIB_LOADED>();
    return f && f(Get().context, code) != 0;
}

int SelectLibrary(const char* code) {
    auto f = Slot<ZKLD_SLOT_LIB_SELECT>();
    return f ? f(Get().context, code) : -1;
}

int LibraryIdentityByIndex(int libIndex) {
    auto f = Slot<ZKLD_SLOT_LIB_IDENTITY_BY_INDEX>();
    return f ? f(Get().context, libIndex) : -1;
}

int LibraryIdentityByCode(const char* code) {
    auto f = Slot<ZKLD_SLOT_LIB_IDENTITY_BY_CODE>();
    return f ? f(Get().context, code) : -1;
}

void SetCertSource(ZKCertSource source) { Call<&Exports::ZKLSVC_SetCertSource>(source); }

// --- last error

void ResetLastError() { Call<&Exports::ZKErrors_ResetCSPError>(); }

int LastErrorCode() {
    auto fn = Get().exports.ZKErrors_GetLastCSPError;
    return fn ? fn() : 0;
}

std::string LastErrorMessage() {
    auto fn = Get().exports.ZKErrors_GetLastCSPMessage;
    const char* m = fn ? fn() : nullptr;
    return m ? m : "";
}

}  // namespace zk::provider
