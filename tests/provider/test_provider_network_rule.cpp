// The rule a page's network operation is handed (ZKLNET_SetRule) through the
// façade, against a real HTTP peer on loopback: with ZK_NET_PUBLIC_ONLY the
// peer is never reached, with ZK_NET_PLAIN_ERRORS every failure of the
// exchange is 25 with no message or socket error, and the rule ends with the
// call that had it.
#include <algorithm>
#include <cerrno>

#include "../unit/DiscoveryFixture.h"
#include "../unit/HttpPeer.h"
#include "provider/Operations.h"

namespace {

using zk::provider::ByteView;

class NetworkRule : public zktest::DiscoveryFixture {
protected:
    void SetUp() override {
        DiscoveryFixture::SetUp();
        pki.Ca("ca");
        pki.User("u", "ca");
        cert = zktest::ReadFile(pki.path("u.cer"));
    }
    // An unsigned OCSP request for u's certificate: code, socket error, provider message.
    struct Outcome {
        int code;
        int32_t socketError;
        std::string message;
    };
    Outcome Ask(const std::string& server, int32_t rule) {
        zk::provider::ResetLastError();
        zk::provider::ServiceTarget target;
        target.server = zk::SecretString(server);
        target.timeout = 5;
        target.rule = rule;
        const ByteView certs[] = {{reinterpret_cast<const uint8_t*>(cert.data()), cert.size()}};
        zk::provider::OcspOutcome out;
        const int code = zk::provider::CtxRequestOCSP({}, certs, {}, {}, "", target, 66048, out);
        return {code, out.socketError, zk::provider::LastErrorMessage()};
    }
    std::string cert;
};

TEST_F(NetworkRule, PagesReachNoLocalPeerAndLearnOneAnswer) {
    zktest::HttpPeer peer({}, dir.file("requests.log"));
    ASSERT_GT(peer.port(), 0);
    const std::string echo = "http://127.0.0.1:" + std::to_string(peer.port()) + "/echo";
    const std::string closed = "http://127.0.0.1:" + std::to_string(zktest::ClosedPort()) + "/";
    constexpr int32_t kPage = ZK_NET_PUBLIC_ONLY | ZK_NET_PLAIN_ERRORS;
    const struct {
        const char* name;
        const std::string* server;
        int32_t rule;
        int code;
        int32_t socketError;
        bool reasonGiven;
        size_t requestsAfter;  // in the peer's log
    } cases[] = {
        {"a program: the peer answers garbage", &echo, 0, ZK_E_SERVER_RESPONSE, 0, true, 1},
        {"a program: nobody listens", &closed, 0, ZK_E_SOCKET, ECONNREFUSED, true, 1},
        {"a page: refused before a connection", &echo, kPage, ZK_E_SOCKET, 0, false, 1},
        {"a page again: refused", &closed, kPage, ZK_E_SOCKET, 0, false, 1},
        {"the next program's call has no rule left", &echo, 0, ZK_E_SERVER_RESPONSE, 0, true, 2},
        // An answer that came and is judged keeps its code: the exchange itself worked.
        {"a page with private targets allowed: reached", &echo, ZK_NET_PLAIN_ERRORS, ZK_E_SERVER_RESPONSE, 0, true,
         3},
        {"the same for nobody listening", &closed, ZK_NET_PLAIN_ERRORS, ZK_E_SOCKET, 0, false, 3},
    };
    for (const auto& c : cases) {
        const Outcome got = Ask(*c.server, c.rule);
        EXPECT_EQ(got.code, c.code) << c.name << ": " << got.message;
        EXPECT_EQ(got.socketError, c.socketError) << c.name;
        EXPECT_EQ(!got.message.empty(), c.reasonGiven) << c.name << ": " << got.message;
        const std::string log = zktest::ReadFile(dir.file("requests.log"));
        EXPECT_EQ(static_cast<size_t>(std::count(log.begin(), log.end(), '\n')), c.requestsAfter) << c.name;
    }
    // What a page was not told is in the log.
    EXPECT_NE(Log().find("not a public address"), std::string::npos);
}

}  // namespace
