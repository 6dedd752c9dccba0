#include "discovery/keys/TokenSessions.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#include "base/Log.h"
#include "base/RequestContext.h"
#include "discovery/keys/TokenPins.h"
#include "platform/Text.h"

namespace zk {
namespace {

// As long as the provider lets a connect wait for a busy token.
constexpr auto kLetGoWait = std::chrono::seconds(30);
// One per token at most anyway; a bound all the same.
constexpr size_t kMaxKept = 16;

struct Kept {
    std::string provider;
    int32_t slot = 0;
    std::string origin;
    SecretString pin;  // Windows-1251, as the page sent it
    TokenSessionPtr session;
};

struct Store {
    std::mutex lock;
    std::condition_variable ended;
    std::vector<Kept> kept;
    // Let go of while a request still used them: a connect to their token waits for them.
    std::vector<const TokenSession*> lettingGo;
    // Connects under way, by token: a session is not kept while one waits.
    std::vector<std::pair<std::string, int32_t>> connecting;
};

Store& TheStore() {
    static Store* store = new Store;  // outlives every session, even at exit
    return *store;
}

bool Same(const std::string& providerA, int32_t slotA, const std::string& providerB, int32_t slotB) {
    return slotA == slotB && EqualNoCase(providerA, providerB);
}

// Takes the kept entries that pass out of the store (the caller holds its
// lock); they end when the caller drops them, or when their last request does.
template <class Pred>
std::vector<TokenSessionPtr> TakeOut(Store& s, Pred pred) {
    std::vector<TokenSessionPtr> out;
    for (auto it = s.kept.begin(); it != s.kept.end();) {
        if (pred(*it)) {
            s.lettingGo.push_back(it->session.get());
            out.push_back(std::move(it->session));
            it = s.kept.erase(it);
        } else {
            ++it;
        }
    }
    return out;
}

void Drop(std::vector<TokenSessionPtr> sessions, const char* why) {
    if (sessions.empty()) return;
    ZLOG("TokenSessions", "Kept token session(s) let go: %u (%s)", static_cast<unsigned>(sessions.size()), why);
    sessions.clear();  // outside the store's lock: disconnecting calls the token
}

// Counts a connect as under way for its lifetime.
class Connecting {
public:
    Connecting(const std::string& providerName, int32_t slot) : entry_(providerName, slot) {
        Store& s = TheStore();
        std::lock_guard<std::mutex> hold(s.lock);
        s.connecting.push_back(entry_);
    }
    ~Connecting() {
        Store& s = TheStore();
        std::lock_guard<std::mutex> hold(s.lock);
        auto it = std::find(s.connecting.begin(), s.connecting.end(), entry_);
        if (it != s.connecting.end()) s.connecting.erase(it);
    }
    Connecting(const Connecting&) = delete;
    Connecting& operator=(const Connecting&) = delete;

private:
    std::pair<std::string, int32_t> entry_;
};

}  // namespace

TokenSession::TokenSession(const provider::Site& site, std::string providerName, int32_t slot, ZKTokenKey handle)
    : site_(site), provider_(std::move(providerName)), slot_(slot), handle_(handle) {}

TokenSession::~TokenSession() {
    provider::Invoke<ZK_EXPORT(ZKLDongles_DisconnectKey)>(site_, handle_);
    Store& s = TheStore();
    {
        std::lock_guard<std::mutex> hold(s.lock);
        auto it = std::find(s.lettingGo.begin(), s.lettingGo.end(), this);
        if (it == s.lettingGo.end()) return;
        s.lettingGo.erase(it);
    }
    s.ended.notify_all();
}

bool TokenSession::IsOn(const std::string& providerName, int32_t slot) const {
    return Same(provider_, slot_, providerName, slot);
}

void LetGoOfToken(const std::string& providerName, int32_t slot) {
    Store& s = TheStore();
    std::vector<TokenSessionPtr> gone;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        gone = TakeOut(s, [&](const Kept& k) { return Same(k.provider, k.slot, providerName, slot); });
    }
    Drop(std::move(gone), "the token is needed");
    std::unique_lock<std::mutex> hold(s.lock);
    s.ended.wait_for(hold, kLetGoWait, [&] {
        return std::none_of(s.lettingGo.begin(), s.lettingGo.end(),
                            [&](const TokenSession* t) { return t->IsOn(providerName, slot); });
    });
}

int ConnectTokenSession(const provider::Site& site, const std::string& providerName, int32_t slot,
                        const std::function<int(ZKTokenKey&)>& connect, TokenSessionPtr& out) {
    out.reset();
    Connecting underWay(providerName, slot);
    LetGoOfToken(providerName, slot);
    ZKTokenKey handle = 0;
    const int code = connect(handle);
    if (code == 0 && handle) out = std::make_shared<const TokenSession>(site, providerName, slot, handle);
    return code;
}

int ConnectTokenSession(const provider::Site& site, const std::string& providerName, int32_t slot, const char* pin,
                        TokenSessionPtr& out) {
    return ConnectTokenSession(site, providerName, slot, [&](ZKTokenKey& handle) {
        auto connect = [&] { return provider::Invoke<ZK_EXPORT(ZKLDongles_ConnectKey)>(site, providerName.c_str(), slot, pin, &handle); };
        return pin ? TryTokenPin(providerName, slot, TokenPin::User, pin, connect) : connect();
    }, out);
}

TokenSessionPtr KeptTokenSession(const std::string& providerName, int32_t slot, const SecretString& pin) {
    if (pin.empty()) return nullptr;
    Store& s = TheStore();
    const std::string& origin = CurrentRequest().origin;
    std::lock_guard<std::mutex> hold(s.lock);
    for (const Kept& k : s.kept)
        if (Same(k.provider, k.slot, providerName, slot))
            return k.origin == origin && SameSecret(k.pin.str(), pin.str()) ? k.session : nullptr;
    return nullptr;
}

void KeepTokenSession(const std::string& providerName, int32_t slot, const SecretString& pin,
                      const TokenSessionPtr& session) {
    if (!session || pin.empty()) return;
    Store& s = TheStore();
    std::vector<TokenSessionPtr> gone;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        if (std::any_of(s.kept.begin(), s.kept.end(), [&](const Kept& k) { return k.session == session; })) return;
        const bool awaited = std::any_of(s.connecting.begin(), s.connecting.end(), [&](const auto& c) {
            return Same(c.first, c.second, providerName, slot);
        });
        gone = TakeOut(s, [&](const Kept& k) { return Same(k.provider, k.slot, providerName, slot); });
        if (!awaited) {
            if (s.kept.size() >= kMaxKept) {
                s.lettingGo.push_back(s.kept.front().session.get());
                gone.push_back(std::move(s.kept.front().session));
                s.kept.erase(s.kept.begin());
            }
            s.kept.push_back({providerName, slot, CurrentRequest().origin, pin, session});
        }
    }
    Drop(std::move(gone), "replaced");
}

void ForgetTokenSession(const TokenSessionPtr& session) {
    if (!session) return;
    Store& s = TheStore();
    std::vector<TokenSessionPtr> gone;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        gone = TakeOut(s, [&](const Kept& k) { return k.session == session; });
    }
    Drop(std::move(gone), "it failed");
}

void ForgetTokenSessions() {
    Store& s = TheStore();
    std::vector<TokenSessionPtr> gone;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        gone = TakeOut(s, [](const Kept&) { return true; });
    }
    Drop(std::move(gone), "forgotten");
}

size_t KeptTokenSessionCount() {
    Store& s = TheStore();
    std::lock_guard<std::mutex> hold(s.lock);
    return s.kept.size();
}

}  // namespace zk
