// Password tries on private keys, slowed down after wrong ones. Without it a
// page could guess a key's password through the key checks at the speed of
// the provider (about a thousand tries a second). Each key (its file) has its
// own delay, so wrong passwords for one key never slow down another; the
// delay doubles with every wrong password in a row, up to a cap, and an
// opened key resets it. Waiting holds no lock.
//
// Only new guesses are slowed down: a password already found wrong for the
// same key bytes is answered at once, without a try. A listing with a
// password tries it on every key file once per certificate, and repeating a
// known answer tells a guesser nothing.
#pragma once
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace zk {

class PasswordThrottle {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration kFirstDelay = std::chrono::milliseconds(250);
    static constexpr Clock::duration kLongestDelay = std::chrono::seconds(8);
    // A key without wrong passwords for this long starts afresh.
    static constexpr Clock::duration kForgetAfter = std::chrono::minutes(15);
    static constexpr size_t kMaxKeys = 4096;
    // Wrong passwords remembered per key.
    static constexpr size_t kRememberedWrong = 16;

    // A salted digest of the key bytes and a password tried on them.
    using Fingerprint = std::array<uint8_t, 32>;

    explicit PasswordThrottle(std::function<Clock::time_point()> now = Clock::now) : now_(std::move(now)) {}

    // The time at which the caller's try on key may start, booked for it:
    // concurrent tries line up one delay apart. Nothing when the tries
    // already booked reach further than the longest delay: the try is
    // refused then (it counts as a wrong password, without being made).
    std::optional<Clock::time_point> Book(const std::string& key);
    // Whether this try was made before and found a wrong password.
    bool KnownWrong(const std::string& key, const Fingerprint& attempt);
    // The outcome of a try: a wrong password lengthens the delay (and is
    // remembered), an opened key resets it. Other outcomes (a key of another
    // certificate, an unreadable file) change nothing.
    void Wrong(const std::string& key, const Fingerprint& attempt = {});
    void Opened(const std::string& key);

    // The delay after this many wrong passwords in a row: none, then 250 ms
    // doubling up to 8 s.
    static Clock::duration Delay(unsigned wrong);

private:
    struct Entry {
        unsigned wrong = 0;
        Clock::time_point next{};  // the earliest start of the next try
        Clock::time_point last{};  // the last wrong password
        std::deque<Fingerprint> wrongTries;  // the latest ones
    };
    void Forget(Clock::time_point now);

    std::function<Clock::time_point()> now_;
    std::mutex lock_;
    std::map<std::string, Entry> entries_;  // only keys with wrong passwords
};

// One try of a password on a key file through the process-wide throttle:
// answered at once when known wrong, else books the turn and waits for it (no
// lock held; the wait ends early when the request's client goes away). The
// caller makes the try only when Allowed() (otherwise the answer is a wrong
// password), then reports the provider's result.
class PasswordTry {
public:
    PasswordTry(std::string keyPath, const uint8_t* keyBytes, size_t keyLen, const std::string& password);
    bool Allowed() const { return allowed_; }
    // code 8 is a wrong password; code 0 with opened an opened key.
    void Report(int code, bool opened);

private:
    std::string key_;
    PasswordThrottle::Fingerprint attempt_{};
    bool allowed_ = false;
};

// The process-wide throttle of the key checks.
PasswordThrottle& KeyPasswordThrottle();

}  // namespace zk
