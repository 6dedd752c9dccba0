// The delay between password tries on one key: doubling after wrong
// passwords, capped, reset by an opened key, per key, and concurrent tries
// lined up one delay apart (or refused beyond the cap), on a clock of the
// test's own.
#include <gtest/gtest.h>

#include "discovery/keys/PasswordThrottle.h"

namespace {

using zk::PasswordThrottle;
using Clock = PasswordThrottle::Clock;
using std::chrono::milliseconds;

class PasswordThrottleTest : public ::testing::Test {
protected:
    Clock::time_point now = Clock::time_point() + std::chrono::hours(1);
    PasswordThrottle throttle{[this] { return now; }};

    // Waits for the turn it books (the clock jumps there); the offset of the
    // start from the moment it was asked, or -1 when refused.
    long long Try(const std::string& key) {
        const Clock::time_point asked = now;
        auto turn = throttle.Book(key);
        if (!turn) return -1;
        now = std::max(now, *turn);
        return std::chrono::duration_cast<milliseconds>(*turn - asked).count();
    }
};

TEST_F(PasswordThrottleTest, DelaysDoubleUpToTheCap) {
    const long long expected[] = {0, 250, 500, 1000, 2000, 4000, 8000, 8000, 8000};
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(Try("/keys/a.pfx"), expected[i]) << "try " << i + 1;
        throttle.Wrong("/keys/a.pfx");
    }
    // Time that passes counts: after the delay the try starts at once.
    now += std::chrono::seconds(8);
    EXPECT_EQ(Try("/keys/a.pfx"), 0);
}

TEST_F(PasswordThrottleTest, OpenedKeyResetsAndOtherOutcomesDoNot) {
    for (int i = 0; i < 4; ++i) {
        Try("k");
        throttle.Wrong("k");
    }
    EXPECT_EQ(Try("k"), 2000);  // a key of another certificate: no change
    EXPECT_EQ(Try("k"), 2000) << "the delay stays after a try that was not a wrong password";
    throttle.Opened("k");
    EXPECT_EQ(Try("k"), 0);
    throttle.Wrong("k");
    EXPECT_EQ(Try("k"), 250) << "counting starts afresh";
}

TEST_F(PasswordThrottleTest, EachKeyHasItsOwnDelay) {
    for (int i = 0; i < 6; ++i) {
        Try("victim.key");
        throttle.Wrong("victim.key");
    }
    EXPECT_EQ(Try("other.key"), 0) << "not slowed down by the victim's wrong passwords";
    throttle.Wrong("other.key");
    EXPECT_EQ(Try("other.key"), 250);
    EXPECT_EQ(Try("victim.key"), 8000 - 250) << "nor the victim's delay shortened by the other key";
}

TEST_F(PasswordThrottleTest, ConcurrentTriesLineUpOrAreRefused) {
    for (int i = 0; i < 3; ++i) {  // delay 1 s now
        Try("k");
        throttle.Wrong("k");
    }
    const Clock::time_point start = now;
    std::vector<long long> offsets;
    for (int i = 0; i < 12; ++i) {  // twelve requests at the same moment
        auto turn = throttle.Book("k");
        offsets.push_back(turn ? std::chrono::duration_cast<milliseconds>(*turn - start).count() : -1);
    }
    const std::vector<long long> expected = {1000, 2000, 3000, 4000, 5000, 6000, 7000, 8000, -1, -1, -1, -1};
    EXPECT_EQ(offsets, expected);
}

TEST_F(PasswordThrottleTest, QuietKeysAreForgotten) {
    for (int i = 0; i < 7; ++i) {
        Try("k");
        throttle.Wrong("k");
    }
    now += PasswordThrottle::kForgetAfter + std::chrono::seconds(1);
    EXPECT_EQ(Try("k"), 0);
    throttle.Wrong("k");
    EXPECT_EQ(Try("k"), 250);
    // The table stays bounded however many keys see wrong passwords.
    for (size_t i = 0; i < PasswordThrottle::kMaxKeys + 10; ++i) throttle.Wrong("key" + std::to_string(i));
    EXPECT_EQ(Try("key" + std::to_string(PasswordThrottle::kMaxKeys + 9)), 250);
}

// A password already found wrong for the same key bytes is answered at
// once: repeating it guesses nothing. Another password, or other key bytes
// under the same name (a key file given a new password), is a new try.
TEST_F(PasswordThrottleTest, KnownWrongTriesAreRecognisedNotCounted) {
    auto fingerprint = [](uint8_t tag) {
        PasswordThrottle::Fingerprint f{};
        f.fill(tag);
        return f;
    };
    EXPECT_FALSE(throttle.KnownWrong("k", fingerprint(1)));
    Try("k");
    throttle.Wrong("k", fingerprint(1));
    EXPECT_TRUE(throttle.KnownWrong("k", fingerprint(1)));
    EXPECT_FALSE(throttle.KnownWrong("k", fingerprint(2)));
    EXPECT_FALSE(throttle.KnownWrong("other", fingerprint(1)));
    EXPECT_FALSE(throttle.KnownWrong("k", PasswordThrottle::Fingerprint{})) << "no fingerprint, nothing known";
    EXPECT_EQ(Try("k"), 250) << "a new guess waits";
    // Only the latest wrong tries are kept.
    for (uint8_t tag = 10; tag < 10 + PasswordThrottle::kRememberedWrong; ++tag) throttle.Wrong("k", fingerprint(tag));
    EXPECT_FALSE(throttle.KnownWrong("k", fingerprint(1)));
    EXPECT_TRUE(throttle.KnownWrong("k", fingerprint(10)));
    // An opened key forgets them.
    throttle.Opened("k");
    EXPECT_FALSE(throttle.KnownWrong("k", fingerprint(10)));
}

}  // namespace
