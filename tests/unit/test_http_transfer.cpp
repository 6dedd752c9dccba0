// Transfers over libcurl against a real HTTP(S) peer: TLS always verified,
// the bounds of size and time, cancellation, no redirects, POST with its
// content type, a proxy with credentials, the reasons of failures, and the
// transfers bound to public addresses.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <netinet/in.h>

#include <cerrno>
#include <thread>

#include "HttpPeer.h"
#include "TestUtil.h"
#include "platform/HttpTransfer.h"

using namespace zk::net;

namespace {

std::string Text(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

TransferRequest Get(const std::string& url) {
    TransferRequest r;
    r.url = url;
    return r;
}

class HttpTransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        zktest::MakeTlsMaterial(dir.str(), "DNS:localhost");
        zktest::WriteFile(dir.file("hello.txt"), "hello over tls");
    }
    std::vector<std::string> TlsArgs() const {
        return {"--root", dir.str(), "--cert", dir.file("server.pem"), "--key", dir.file("server.key")};
    }
    zktest::TempDir dir;
};

TEST_F(HttpTransferTest, HttpsIsVerifiedAgainstTheCaFileAndTheHostName) {
    zktest::HttpPeer peer(TlsArgs(), dir.file("requests.log"));
    ASSERT_GT(peer.port(), 0);
    struct Case {
        const char* host;
        bool ownCa;
        bool ok;
    } cases[] = {
        {"localhost", true, true},    // the name in the certificate, our CA
        {"localhost", false, false},  // the system store does not know the CA
        {"127.0.0.1", true, false},   // the certificate does not name this address
    };
    for (const Case& c : cases) {
        TransferRequest r;
        r.url = peer.url("https", c.host, "/hello.txt");
        if (c.ownCa) r.caFile = dir.file("ca.pem");
        TransferResult result = Transfer(r);
        EXPECT_EQ(result.ok(), c.ok) << c.host << " " << c.ownCa << ": " << result.error;
        if (c.ok) {
            EXPECT_EQ(Text(result.body), "hello over tls");
        } else {
            EXPECT_EQ(result.status, TransferStatus::Failed);
            EXPECT_TRUE(result.body.empty());
            EXPECT_NE(result.error.find("CURL Error: 60, "), std::string::npos) << result.error;
        }
    }
    // Only the verified transfer got as far as a request.
    EXPECT_EQ(zktest::ReadFile(dir.file("requests.log")), "GET /hello.txt\n");
}

TEST_F(HttpTransferTest, SizeAndTimeAreBoundedAndATransferCanBeCancelled) {
    zktest::HttpPeer peer({"--root", dir.str()});
    ASSERT_GT(peer.port(), 0);
    TransferRequest r;
    r.maxResponseBytes = 1000;
    r.url = peer.url("http", "127.0.0.1", "/big/1000");
    EXPECT_TRUE(Transfer(r).ok());  // exactly the bound
    r.url = peer.url("http", "127.0.0.1", "/big/1001");  // declared length beyond the bound
    TransferResult big = Transfer(r);
    EXPECT_EQ(big.status, TransferStatus::TooLarge) << big.error;
    EXPECT_TRUE(big.body.empty());
    r.url = peer.url("http", "127.0.0.1", "/endless");  // no length declared: counted as it comes
    r.maxResponseBytes = 1 << 20;
    EXPECT_EQ(Transfer(r).status, TransferStatus::TooLarge);

    r.url = peer.url("http", "127.0.0.1", "/short");  // lies about its size
    TransferResult shortAnswer = Transfer(r);
    EXPECT_EQ(shortAnswer.status, TransferStatus::Failed);
    EXPECT_EQ(shortAnswer.curlCode, 18) << shortAnswer.error;  // partial file
    EXPECT_TRUE(shortAnswer.body.empty());

    r.url = peer.url("http", "127.0.0.1", "/slow");  // a byte a second, without end
    r.maxResponseBytes = 10 << 20;
    r.totalTimeoutSeconds = 2;
    TransferResult slow = Transfer(r);
    EXPECT_EQ(slow.status, TransferStatus::Failed);
    EXPECT_EQ(slow.curlCode, 28) << slow.error;  // operation timed out

    std::atomic<bool> cancel{false};
    r.totalTimeoutSeconds = 120;
    r.cancel = &cancel;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        cancel = true;
    });
    TransferResult cancelled = TransferWithRetries(r, 5, std::chrono::seconds(1));
    stopper.join();
    EXPECT_EQ(cancelled.status, TransferStatus::Cancelled) << cancelled.error;
}

TEST_F(HttpTransferTest, RedirectsAreNotFollowedAndStatusesComeBack) {
    zktest::HttpPeer peer({"--root", dir.str()}, dir.file("requests.log"));
    TransferRequest r;
    r.url = peer.url("http", "127.0.0.1", "/redirect");
    TransferResult redirect = TransferWithRetries(r, 5, std::chrono::milliseconds(10));
    EXPECT_EQ(redirect.status, TransferStatus::HttpStatus);
    EXPECT_EQ(redirect.httpStatus, 302);
    r.url = peer.url("http", "127.0.0.1", "/missing.txt");
    TransferResult missing = TransferWithRetries(r, 5, std::chrono::milliseconds(10));
    EXPECT_EQ(missing.httpStatus, 404);
    EXPECT_NE(Text(missing.body).find("<title>404"), std::string::npos);
    // Neither the redirect's target nor a second try was asked for.
    EXPECT_EQ(zktest::ReadFile(dir.file("requests.log")), "GET /redirect\nGET /missing.txt\n");
}

TEST_F(HttpTransferTest, PostCarriesItsContentTypeAndBody) {
    zktest::HttpPeer peer({});
    TransferRequest r;
    r.url = peer.url("http", "127.0.0.1", "/echo");
    r.post = true;
    r.contentType = "application/timestamp-query";
    r.body = {0x30, 0x00, 0xff, 0x0a, 0x00};
    TransferResult result = Transfer(r);
    ASSERT_TRUE(result.ok()) << result.error;
    std::string expected = "application/timestamp-query\n" + std::string(r.body.begin(), r.body.end());
    EXPECT_EQ(Text(result.body), expected);
}

TEST_F(HttpTransferTest, ProxyGetsTheRequestWithItsCredentials) {
    zktest::HttpPeer proxy({"--proxy", "agent:s3cret"});
    TransferRequest r;
    r.url = "http://tsa.example.test/tsp";
    r.post = true;
    r.contentType = "application/timestamp-query";
    r.body = {1, 2, 3};
    r.proxy.host = "127.0.0.1";
    r.proxy.port = proxy.port();
    r.proxy.user = "agent";
    r.proxy.password = std::string("s3cret");
    TransferResult result = Transfer(r);
    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(Text(result.body), "proxied http://tsa.example.test/tsp");
    r.proxy.password = std::string("wrong");
    EXPECT_EQ(Transfer(r).httpStatus, 407);
}

TEST_F(HttpTransferTest, FailuresSayWhy) {
    TransferRequest r;
    r.url = "http://127.0.0.1:" + std::to_string(zktest::ClosedPort()) + "/x";
    TransferResult refused = TransferWithRetries(r, 2, std::chrono::milliseconds(10));
    EXPECT_EQ(refused.status, TransferStatus::Failed);
    EXPECT_EQ(refused.socketError, ECONNREFUSED);
    EXPECT_EQ(refused.error.rfind("CURL Error: 7, ", 0), 0u) << refused.error;

    for (const char* url : {"file:///etc/passwd", "ftp://127.0.0.1/x", "https://update.zelkorh.invalid/upd/digest.txt",
                            "http://127.0.0.1/a b", "gopher://x"}) {
        TransferResult result = Transfer(Get(url));
        EXPECT_EQ(result.status, TransferStatus::Refused) << url;
        EXPECT_FALSE(result.error.empty());
    }

    SetLibraryNameForTesting("libcurl-absent.so.9");
    TransferResult missing = Transfer(Get("http://127.0.0.1:1/"));
    EXPECT_EQ(missing.status, TransferStatus::NotLoaded);
    EXPECT_EQ(missing.error, "libcurl-absent.so.9 not loaded");
    SetLibraryNameForTesting("libcurl.so.4");
    EXPECT_TRUE(Available());
}

// A page's transfer never opens a connection to this machine or its
// networks: not by address, not by a name that resolves there, not through a
// proxy that lives there. The peer's log shows which requests got through.
TEST_F(HttpTransferTest, PublicOnlyTransfersConnectToPublicAddressesAlone) {
    zktest::HttpPeer peer({"--root", dir.str()}, dir.file("requests.log"));
    zktest::HttpPeer proxy({"--root", dir.str()}, dir.file("proxy.log"));
    ASSERT_GT(peer.port(), 0);
    ASSERT_GT(proxy.port(), 0);
    const std::string port = ":" + std::to_string(peer.port());
    struct Case {
        const char* name;
        std::string url;
        bool viaProxy;
        const char* refusedRange;
    } cases[] = {
        {"loopback", "http://127.0.0.1" + port + "/hello.txt", false, "loopback"},
        {"another loopback address", "http://127.0.0.2" + port + "/hello.txt", false, "loopback"},
        {"a name that resolves to loopback", "http://localhost" + port + "/hello.txt", false, "loopback"},
        {"IPv6 loopback", "http://[::1]" + port + "/hello.txt", false, "loopback"},
        {"IPv4-mapped loopback", "http://[::ffff:127.0.0.1]" + port + "/hello.txt", false, "loopback"},
        {"unspecified (this host)", "http://0.0.0.0" + port + "/hello.txt", false, "unspecified"},
        {"private", "http://10.255.255.1" + port + "/hello.txt", false, "private"},
        {"a public address through a loopback proxy", "http://192.0.2.1/hello.txt", true, "loopback"},
    };
    for (const Case& c : cases) {
        TransferRequest r = Get(c.url);
        r.publicOnly = true;
        r.connectTimeoutSeconds = r.totalTimeoutSeconds = 5;
        if (c.viaProxy) {
            r.proxy.host = "127.0.0.1";
            r.proxy.port = proxy.port();
        }
        const TransferResult result = TransferWithRetries(r, 3, std::chrono::milliseconds(10));
        EXPECT_EQ(result.status, TransferStatus::Refused) << c.name << ": " << result.error;
        EXPECT_NE(result.error.find("not a public address"), std::string::npos) << c.name << ": " << result.error;
        EXPECT_NE(result.error.find(c.refusedRange), std::string::npos) << c.name << ": " << result.error;
        EXPECT_TRUE(result.body.empty());
    }
    EXPECT_EQ(zktest::ReadFile(dir.file("requests.log")), "");
    EXPECT_EQ(zktest::ReadFile(dir.file("proxy.log")), "");

    // Without the rule the same addresses are reached, 0.0.0.0 included.
    for (const char* host : {"127.0.0.1", "localhost", "0.0.0.0"}) {
        const TransferResult result = Transfer(Get("http://" + std::string(host) + port + "/hello.txt"));
        EXPECT_TRUE(result.ok()) << host << ": " << result.error;
    }
    EXPECT_EQ(zktest::ReadFile(dir.file("requests.log")), "GET /hello.txt\nGET /hello.txt\nGET /hello.txt\n");

    // A public address passes the rule: nobody answers at TEST-NET-1, so the
    // transfer fails, but as a transfer, not as a refusal.
    TransferRequest open = Get("http://192.0.2.1:9/");
    open.publicOnly = true;
    open.connectTimeoutSeconds = open.totalTimeoutSeconds = 1;
    const TransferResult unanswered = Transfer(open);
    EXPECT_EQ(unanswered.status, TransferStatus::Failed) << unanswered.error;
}

}  // namespace
