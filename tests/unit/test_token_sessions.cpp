// The store of kept token sessions, on handles of no provider (their
// disconnect finds no provider and does nothing): which request a kept session
// serves, and that letting it go never pulls it from under a request.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "base/RequestContext.h"
#include "discovery/CertListFunc.h"
#include "discovery/keys/TokenSessions.h"

namespace {

const zk::RequestContext kBank{"https://bank.example", nullptr}, kEvil{"https://evil.example", nullptr};

zk::TokenSessionPtr NewSession(const char* provider, int32_t slot) {
    static ZKTokenKey next = 1000;
    return std::make_shared<const zk::TokenSession>(ZK_SITE("test"), provider, slot, ++next);
}

struct TokenSessionsTest : ::testing::Test {
    void TearDown() override { zk::ForgetTokenSessions(); }
};

TEST_F(TokenSessionsTest, KeptSessionServesOnlyItsOriginTokenAndPin) {
    std::weak_ptr<const zk::TokenSession> kept;
    {
        zk::ScopedRequest page(kBank);
        auto session = NewSession("SoftHSM", 3);
        kept = session;
        zk::KeepTokenSession("SoftHSM", 3, zk::SecretString("7391-pin"), session);
    }
    EXPECT_FALSE(kept.expired()) << "the store holds it past its request";
    struct Case {
        const char* name;
        const zk::RequestContext& page;
        const char* provider;
        int32_t slot;
        const char* pin;
        bool served;
    };
    const Case cases[] = {
        {"its origin, token and PIN", kBank, "SoftHSM", 3, "7391-pin", true},
        {"the provider named in another case", kBank, "softhsm", 3, "7391-pin", true},
        {"another origin", kEvil, "SoftHSM", 3, "7391-pin", false},
        {"another PIN", kBank, "SoftHSM", 3, "7391-pix", false},
        {"a PIN that starts like it", kBank, "SoftHSM", 3, "7391", false},
        {"an empty PIN", kBank, "SoftHSM", 3, "", false},
        {"another slot", kBank, "SoftHSM", 4, "7391-pin", false},
        {"another provider", kBank, "Other", 3, "7391-pin", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        zk::ScopedRequest page(c.page);
        EXPECT_EQ(zk::KeptTokenSession(c.provider, c.slot, zk::SecretString(c.pin)) != nullptr, c.served);
    }
    EXPECT_EQ(zk::KeptTokenSessionCount(), 1u) << "looking it up forgets nothing";
    zk::CertListClear();
    EXPECT_TRUE(kept.expired()) << "the certificate list invalidated: the kept session ends";
}

// A kept session still used by a request: letting it go (another connect to
// its token) waits until the request is done, then the session has ended.
TEST_F(TokenSessionsTest, LettingGoWaitsForTheRequestStillUsingIt) {
    zk::ScopedRequest page(kBank);
    auto inUse = NewSession("SoftHSM", 3);
    std::weak_ptr<const zk::TokenSession> kept = inUse;
    zk::KeepTokenSession("SoftHSM", 3, zk::SecretString("7391-pin"), inUse);

    std::atomic<bool> endedWhenLetGo{false};
    std::thread other([&] {
        zk::LetGoOfToken("SoftHSM", 3);
        endedWhenLetGo = kept.expired();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the other thread waits meanwhile
    EXPECT_FALSE(kept.expired()) << "not pulled from under the request";
    EXPECT_EQ(zk::KeptTokenSessionCount(), 0u);
    inUse.reset();  // the request is done
    other.join();
    EXPECT_TRUE(endedWhenLetGo);

    // Another token's kept session is none of its business.
    auto one = NewSession("SoftHSM", 3), two = NewSession("SoftHSM", 5);
    std::weak_ptr<const zk::TokenSession> first = one, second = two;
    zk::KeepTokenSession("SoftHSM", 3, zk::SecretString("1"), one);
    zk::KeepTokenSession("SoftHSM", 5, zk::SecretString("2"), two);
    one.reset();
    two.reset();
    zk::LetGoOfToken("SoftHSM", 3);
    EXPECT_TRUE(first.expired());
    EXPECT_FALSE(second.expired());
}

// A session is not kept while another connect to its token waits (that
// connect would wait for it in vain), and no more than 16 are kept.
TEST_F(TokenSessionsTest, KeepsNoSessionAnotherConnectWaitsFor) {
    zk::ScopedRequest page(kBank);
    zk::TokenSessionPtr connected;
    std::weak_ptr<const zk::TokenSession> notKept;
    const int code = zk::ConnectTokenSession(ZK_SITE("test"), "SoftHSM", 3, [&](ZKTokenKey& handle) {
        auto other = NewSession("SoftHSM", 3);  // a request that logged in meanwhile
        notKept = other;
        zk::KeepTokenSession("SoftHSM", 3, zk::SecretString("7391-pin"), other);
        handle = 77;
        return 0;
    }, connected);
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(connected);
    EXPECT_TRUE(notKept.expired());
    EXPECT_EQ(zk::KeptTokenSessionCount(), 0u);

    std::vector<std::weak_ptr<const zk::TokenSession>> kept;
    for (int32_t slot = 0; slot < 17; ++slot) {
        auto session = NewSession("SoftHSM", slot);
        kept.push_back(session);
        zk::KeepTokenSession("SoftHSM", slot, zk::SecretString("7391-pin"), session);
    }
    EXPECT_EQ(zk::KeptTokenSessionCount(), 16u);
    EXPECT_TRUE(kept.front().expired()) << "the oldest makes room";
    EXPECT_FALSE(kept.back().expired());
}

}  // namespace
