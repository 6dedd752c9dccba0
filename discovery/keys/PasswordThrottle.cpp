#include "discovery/keys/PasswordThrottle.h"

#include <algorithm>
#include <thread>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include "base/RequestContext.h"
#include "base/Log.h"

namespace zk {
namespace {

constexpr int kWrongPasswordCode = 8;
constexpr auto kWaitStep = std::chrono::milliseconds(50);

// Sleeps until at in short steps; false when the request is cancelled first.
bool WaitUntil(PasswordThrottle::Clock::time_point at) {
    for (;;) {
        if (RequestCancelled()) return false;
        const auto now = PasswordThrottle::Clock::now();
        if (now >= at) return true;
        std::this_thread::sleep_for(std::min<PasswordThrottle::Clock::duration>(at - now, kWaitStep));
    }
}

// Salted so that the table holds nothing a password could be checked
// against outside this process.
PasswordThrottle::Fingerprint Digest(const uint8_t* keyBytes, size_t keyLen, const std::string& password) {
    static const std::array<uint8_t, 32> salt = [] {
        std::array<uint8_t, 32> s{};
        if (RAND_bytes(s.data(), static_cast<int>(s.size())) != 1) s.fill(0);
        return s;
    }();
    PasswordThrottle::Fingerprint out{};
    const uint64_t len = keyLen;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const bool ok = ctx && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1 &&
                    EVP_DigestUpdate(ctx, salt.data(), salt.size()) == 1 && EVP_DigestUpdate(ctx, &len, sizeof len) == 1 &&
                    EVP_DigestUpdate(ctx, keyBytes, keyLen) == 1 &&
                    EVP_DigestUpdate(ctx, password.data(), password.size()) == 1 &&
                    EVP_DigestFinal_ex(ctx, out.data(), nullptr) == 1;
    EVP_MD_CTX_free(ctx);
    if (!ok) out.fill(0);  // an all-zero fingerprint is never taken as known
    return out;
}

}  // namespace

PasswordThrottle::Clock::duration PasswordThrottle::Delay(unsigned wrong) {
    if (wrong == 0) return Clock::duration::zero();
    const unsigned doublings = std::min(wrong - 1, 16u);
    return std::min<Clock::duration>(kFirstDelay * (1u << doublings), kLongestDelay);
}

std::optional<PasswordThrottle::Clock::time_point> PasswordThrottle::Book(const std::string& key) {
    std::lock_guard held(lock_);
    const Clock::time_point now = now_();
    auto it = entries_.find(key);
    if (it != entries_.end() && now - it->second.last > kForgetAfter) {
        entries_.erase(it);
        it = entries_.end();
    }
    if (it == entries_.end()) return now;
    Entry& e = it->second;
    const Clock::time_point start = std::max(now, e.next);
    if (start - now > kLongestDelay) return std::nullopt;
    e.next = start + Delay(e.wrong);
    return start;
}

bool PasswordThrottle::KnownWrong(const std::string& key, const Fingerprint& attempt) {
    if (attempt == Fingerprint{}) return false;
    std::lock_guard held(lock_);
    auto it = entries_.find(key);
    return it != entries_.end() &&
           std::find(it->second.wrongTries.begin(), it->second.wrongTries.end(), attempt) != it->second.wrongTries.end();
}

void PasswordThrottle::Wrong(const std::string& key, const Fingerprint& attempt) {
    std::lock_guard held(lock_);
    const Clock::time_point now = now_();
    Entry& e = entries_[key];
    e.wrong = std::min(e.wrong + 1, 64u);
    e.last = now;
    e.next = std::max(e.next, now + Delay(e.wrong));
    if (attempt != Fingerprint{}) {
        e.wrongTries.push_back(attempt);
        if (e.wrongTries.size() > kRememberedWrong) e.wrongTries.pop_front();
    }
    if (entries_.size() > kMaxKeys) Forget(now);
}

void PasswordThrottle::Opened(const std::string& key) {
    std::lock_guard held(lock_);
    entries_.erase(key);
}

// Keeps the table bounded: keys quiet for long go first, then the quietest.
void PasswordThrottle::Forget(Clock::time_point now) {
    std::erase_if(entries_, [&](const auto& kv) { return now - kv.second.last > kForgetAfter; });
    while (entries_.size() > kMaxKeys)
        entries_.erase(std::min_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
            return a.second.last < b.second.last;
        }));
}

PasswordThrottle& KeyPasswordThrottle() {
    static PasswordThrottle throttle;
    return throttle;
}

PasswordTry::PasswordTry(std::string keyPath, const uint8_t* keyBytes, size_t keyLen, const std::string& password)
    : key_(std::move(keyPath)), attempt_(Digest(keyBytes, keyLen, password)) {
    if (KeyPasswordThrottle().KnownWrong(key_, attempt_)) return;  // the same answer again, at once
    const auto turn = KeyPasswordThrottle().Book(key_);
    if (!turn) {
        ZLOG("PasswordThrottle", "Too many password tries on '%s': refused", key_.c_str());
        return;
    }
    const auto wait = *turn - PasswordThrottle::Clock::now();
    if (wait > PasswordThrottle::Clock::duration::zero())
        ZLOG("PasswordThrottle", "Next password try on '%s' in %lld ms", key_.c_str(),
             static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(wait).count()));
    allowed_ = WaitUntil(*turn);
}

void PasswordTry::Report(int code, bool opened) {
    if (code == kWrongPasswordCode)
        KeyPasswordThrottle().Wrong(key_, attempt_);
    else if (code == 0 && opened)
        KeyPasswordThrottle().Opened(key_);
}

}  // namespace zk
