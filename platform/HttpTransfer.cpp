#include "platform/HttpTransfer.h"

#include <dlfcn.h>
#include <sys/socket.h>

// Only the declarations: the library is opened at run time, never linked, so
// the service starts without it. Types and option numbers come from libcurl's
// own header rather than from copies of them here.
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/AddressRange.h"
#include "platform/Text.h"

namespace zk::net {
namespace {

constexpr const char* kDefaultLibrary = "libcurl.so.4";

// The entry points used, bound by name.
struct CurlApi {
    decltype(&curl_global_init) global_init = nullptr;
    decltype(&curl_easy_init) easy_init = nullptr;
    decltype(&curl_easy_setopt) easy_setopt = nullptr;
    decltype(&curl_easy_perform) easy_perform = nullptr;
    decltype(&curl_easy_cleanup) easy_cleanup = nullptr;
    decltype(&curl_easy_strerror) easy_strerror = nullptr;
    decltype(&curl_easy_getinfo) easy_getinfo = nullptr;
    decltype(&curl_slist_append) slist_append = nullptr;
    decltype(&curl_slist_free_all) slist_free_all = nullptr;
};

// The library stays loaded once loaded: the host and the provider library
// each hold their own copy of this state, and unloading under a transfer of
// the other would pull the code from under it (dlopen counts the two).
struct Loader {
    std::mutex lock;
    std::string name = kDefaultLibrary;
    void* handle = nullptr;
    bool tried = false;
    CurlApi api;
    std::string failure;
};

Loader& TheLoader() {
    static Loader loader;
    return loader;
}

template <class F>
bool Bind(void* handle, const char* symbol, F& out) {
    out = reinterpret_cast<F>(dlsym(handle, symbol));
    return out != nullptr;
}

// The bound functions, or null with the reason in why.
const CurlApi* Api(std::string* why) {
    Loader& l = TheLoader();
    std::lock_guard guard(l.lock);
    if (!l.tried) {
        l.tried = true;
        l.handle = dlopen(l.name.c_str(), RTLD_NOW | RTLD_LOCAL);
        CurlApi a;
        bool bound = l.handle && Bind(l.handle, "curl_global_init", a.global_init) &&
                     Bind(l.handle, "curl_easy_init", a.easy_init) &&
                     Bind(l.handle, "curl_easy_setopt", a.easy_setopt) &&
                     Bind(l.handle, "curl_easy_perform", a.easy_perform) &&
                     Bind(l.handle, "curl_easy_cleanup", a.easy_cleanup) &&
                     Bind(l.handle, "curl_easy_strerror", a.easy_strerror) &&
                     Bind(l.handle, "curl_easy_getinfo", a.easy_getinfo) &&
                     Bind(l.handle, "curl_slist_append", a.slist_append) &&
                     Bind(l.handle, "curl_slist_free_all", a.slist_free_all);
        if (!bound) {
            l.failure = l.name + " not loaded";
        } else if (CURLcode rc = a.global_init(CURL_GLOBAL_DEFAULT); rc != CURLE_OK) {
            l.failure = "CURL Error: " + std::to_string(rc) + ", !global_init";
        } else {
            l.api = a;
        }
        if (!l.failure.empty() && l.handle) {
            dlclose(l.handle);
            l.handle = nullptr;
        }
    }
    if (!l.failure.empty()) {
        if (why) *why = l.failure;
        return nullptr;
    }
    return &l.api;
}

// The host part of an address, lower-cased, without port, user or final dot.
std::string HostOf(const std::string& url) {
    size_t start = url.find("://");
    start = start == std::string::npos ? 0 : start + 3;
    size_t end = url.find_first_of("/?#", start);
    std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (size_t at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);
    std::string host;
    if (!authority.empty() && authority[0] == '[') {
        host = authority.substr(0, authority.find(']') + 1);
    } else {
        host = authority.substr(0, authority.find(':'));
    }
    for (char& c : host) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    while (!host.empty() && host.back() == '.') host.pop_back();
    return host;
}

// Why the address is refused before any transfer, or empty. Names under
// ".invalid" never resolve (RFC 6761): they are answered here, without a
// name lookup leaving the machine.
std::string RefusedAddress(const std::string& url) {
    if (!StartsWithNoCase(url, "http://") && !StartsWithNoCase(url, "https://"))
        return "Address refused: only http and https are used";
    for (char c : url)
        if (static_cast<unsigned char>(c) <= 32 || c == 127) return "Address refused: blank or control character";
    const std::string host = HostOf(url);
    if (host == "invalid" || (host.size() > 8 && host.compare(host.size() - 8, 8, ".invalid") == 0))
        return "Could not resolve host: " + host + " (reserved name)";
    return {};
}

struct Sink {
    std::vector<uint8_t>* body;
    uint64_t limit;
    const std::atomic<bool>* cancel;
    bool tooLarge = false;
    bool cancelled = false;

    bool StopAsked() {
        if (cancel && cancel->load()) cancelled = true;
        return cancelled;
    }
};

size_t OnData(char* data, size_t size, size_t count, void* user) {
    Sink* sink = static_cast<Sink*>(user);
    const size_t n = size * count;
    if (sink->StopAsked()) return 0;
    if (sink->body->size() + n > sink->limit) {
        sink->tooLarge = true;
        return 0;  // ends the transfer with a write error
    }
    sink->body->insert(sink->body->end(), data, data + n);
    return n;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<Sink*>(user)->StopAsked() ? 1 : 0;
}

// The addresses a publicOnly transfer turned away, for the log.
struct Gate {
    std::string refused;
};

// Opens the socket of each connection attempt, when the address is public.
// libcurl calls it with the address it is about to connect to (the proxy's
// when there is one), once per attempt: a name that resolves to several
// addresses is judged address by address.
curl_socket_t OpenPublicSocket(void* user, curlsocktype purpose, curl_sockaddr* address) {
    Gate* gate = static_cast<Gate*>(user);
    const sockaddr* sa = &address->addr;
    const AddressRange range = RangeOf(sa, address->addrlen);
    if (purpose != CURLSOCKTYPE_IPCXN || range != AddressRange::Public) {
        if (!gate->refused.empty()) gate->refused += ", ";
        gate->refused += AddressText(sa, address->addrlen) + " (" + RangeName(range) + ")";
        return CURL_SOCKET_BAD;
    }
    return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// Owns the easy handle and the header list.
class Easy {
public:
    explicit Easy(const CurlApi& api) : api_(api), handle_(api.easy_init()) {}
    ~Easy() {
        if (headers_) api_.slist_free_all(headers_);
        if (handle_) api_.easy_cleanup(handle_);
    }
    Easy(const Easy&) = delete;
    Easy& operator=(const Easy&) = delete;

    CURL* get() const { return handle_; }
    template <class T>
    bool Set(CURLoption option, T value) {
        return api_.easy_setopt(handle_, option, value) == CURLE_OK;
    }
    bool AddHeader(const std::string& line) {
        curl_slist* next = api_.slist_append(headers_, line.c_str());
        if (!next) return false;
        headers_ = next;
        return true;
    }
    curl_slist* headers() const { return headers_; }

private:
    const CurlApi& api_;
    CURL* handle_;
    curl_slist* headers_ = nullptr;
};

bool Configure(Easy& easy, const TransferRequest& r, Sink& sink, Gate& gate, char* errorBuffer) {
    const long total = std::max(1L, r.totalTimeoutSeconds);
    const long connect = std::clamp(r.connectTimeoutSeconds, 1L, total);
    bool ok = easy.Set(CURLOPT_URL, r.url.c_str()) && easy.Set(CURLOPT_ERRORBUFFER, errorBuffer) &&
              easy.Set(CURLOPT_VERBOSE, 0L) && easy.Set(CURLOPT_NOSIGNAL, 1L) &&
              easy.Set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)) &&
              easy.Set(CURLOPT_FOLLOWLOCATION, 0L) && easy.Set(CURLOPT_SSL_VERIFYPEER, 1L) &&
              easy.Set(CURLOPT_SSL_VERIFYHOST, 2L) && easy.Set(CURLOPT_CONNECTTIMEOUT, connect) &&
              easy.Set(CURLOPT_TIMEOUT, total) &&
              easy.Set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(std::min<uint64_t>(r.maxResponseBytes, INT64_MAX))) &&
              easy.Set(CURLOPT_WRITEFUNCTION, OnData) && easy.Set(CURLOPT_WRITEDATA, &sink) &&
              easy.Set(CURLOPT_NOPROGRESS, 0L) && easy.Set(CURLOPT_XFERINFOFUNCTION, OnProgress) &&
              easy.Set(CURLOPT_XFERINFODATA, &sink);
    // Only http and https, also where a server's answer would name another scheme.
    ok = ok && easy.Set(CURLOPT_PROTOCOLS_STR, "http,https");
    if (ok && !r.caFile.empty()) ok = easy.Set(CURLOPT_CAINFO, r.caFile.c_str());
    if (ok && r.publicOnly)
        ok = easy.Set(CURLOPT_OPENSOCKETFUNCTION, OpenPublicSocket) && easy.Set(CURLOPT_OPENSOCKETDATA, &gate);
    if (ok && !r.proxy.host.empty()) {
        ok = easy.Set(CURLOPT_PROXY, r.proxy.host.c_str()) &&
             easy.Set(CURLOPT_PROXYPORT, static_cast<long>(r.proxy.port));
        // libcurl keeps its own copies of these until the handle is freed; it
        // does not wipe them, which its interface leaves no way to change.
        if (ok && !r.proxy.user.empty())
            ok = easy.Set(CURLOPT_PROXYUSERNAME, r.proxy.user.c_str()) &&
                 easy.Set(CURLOPT_PROXYPASSWORD, r.proxy.password.c_str());
    } else if (ok && !r.environmentProxy) {
        ok = easy.Set(CURLOPT_PROXY, "");  // not http_proxy and the like either
    }
    if (ok && r.post) {
        ok = easy.Set(CURLOPT_POST, 1L) &&
             easy.Set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body.size())) &&
             easy.Set(CURLOPT_POSTFIELDS, r.body.empty() ? "" : reinterpret_cast<const char*>(r.body.data())) &&
             easy.AddHeader("Content-Type: " + r.contentType) &&
             easy.AddHeader("Expect:");  // the body goes at once, without waiting for "100 Continue"
    }
    if (ok && easy.headers()) ok = easy.Set(CURLOPT_HTTPHEADER, easy.headers());
    return ok;
}

// Failures no second try mends.
bool Final(const TransferResult& r) {
    switch (r.status) {
        case TransferStatus::Ok:
        case TransferStatus::Cancelled:
        case TransferStatus::Refused:
        case TransferStatus::NotLoaded:
        case TransferStatus::TooLarge:
            return true;
        case TransferStatus::HttpStatus:
            return r.httpStatus < 500;
        case TransferStatus::Failed:
            return r.curlCode == CURLE_PEER_FAILED_VERIFICATION || r.curlCode == CURLE_SSL_CACERT_BADFILE ||
                   r.curlCode == CURLE_URL_MALFORMAT || r.curlCode == CURLE_UNSUPPORTED_PROTOCOL ||
                   r.curlCode == CURLE_SSL_CERTPROBLEM;
    }
    return true;
}

}  // namespace

TransferResult Transfer(const TransferRequest& request) {
    TransferResult result;
    if (std::string why = RefusedAddress(request.url); !why.empty()) {
        result.status = TransferStatus::Refused;
        result.error = why;
        return result;
    }
    const CurlApi* api = Api(&result.error);
    if (!api) {
        result.status = TransferStatus::NotLoaded;
        return result;
    }
    Easy easy(*api);
    if (!easy.get()) {
        result.error = "CURL Error: !init";
        return result;
    }
    Sink sink{&result.body, request.maxResponseBytes, request.cancel};
    Gate gate;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    if (!Configure(easy, request, sink, gate, errorBuffer)) {
        result.error = "CURL Error: !setopt";
        return result;
    }
    const CURLcode rc = api->easy_perform(easy.get());
    long status = 0;
    api->easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
    long osErrno = 0;
    api->easy_getinfo(easy.get(), CURLINFO_OS_ERRNO, &osErrno);
    result.curlCode = rc;
    result.httpStatus = status;
    result.socketError = static_cast<int>(osErrno);

    if (rc == CURLE_OK) {
        if (status >= 200 && status < 300) {
            result.status = TransferStatus::Ok;
        } else {
            result.status = TransferStatus::HttpStatus;
            result.error = "HTTP status " + std::to_string(status);
        }
        return result;
    }
    result.body.clear();
    if (sink.cancelled) {
        result.status = TransferStatus::Cancelled;
        result.error = "Transfer cancelled";
    } else if (!gate.refused.empty() && rc == CURLE_COULDNT_CONNECT) {
        // No connection, and at least one address was turned away: the
        // answer of the rule, which another try does not change.
        result.status = TransferStatus::Refused;
        result.error = "Address refused: not a public address: " + gate.refused;
    } else if (sink.tooLarge || rc == CURLE_FILESIZE_EXCEEDED) {
        result.status = TransferStatus::TooLarge;
        result.error = "Response larger than " + std::to_string(request.maxResponseBytes) + " bytes";
    } else {
        result.status = TransferStatus::Failed;
        result.error = "CURL Error: " + std::to_string(rc) + ", " + api->easy_strerror(rc);
        if (errorBuffer[0]) result.error += std::string(", ") + errorBuffer;
    }
    return result;
}

TransferResult TransferWithRetries(const TransferRequest& request, int attempts, std::chrono::milliseconds pause) {
    TransferResult result;
    for (int attempt = 1;; ++attempt) {
        result = Transfer(request);
        if (Final(result) || attempt >= attempts) return result;
        // The pause, in short steps so that a cancellation ends it soon.
        const auto until = std::chrono::steady_clock::now() + pause;
        while (std::chrono::steady_clock::now() < until) {
            if (request.cancel && request.cancel->load()) {
                result.status = TransferStatus::Cancelled;
                result.error = "Transfer cancelled";
                return result;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
}

bool Available(std::string* why) { return Api(why) != nullptr; }

void SetLibraryNameForTesting(const std::string& name) {
    Loader& l = TheLoader();
    std::lock_guard guard(l.lock);
    // A library loaded before stays mapped (see Loader); only the next load changes.
    l.name = name;
    l.tried = false;
    l.failure.clear();
    l.handle = nullptr;
    l.api = CurlApi{};
}

}  // namespace zk::net
