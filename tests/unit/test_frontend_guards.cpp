// The pure guards of the front end: request framing as the HTTP parser sees
// it, the XML pre-scan, the Host check, and what the log writes.
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <filesystem>
#include <optional>
#include <string>

#include "TestUtil.h"
#include "base/Log.h"
#include "base/LogRedact.h"
#include "commands/ProcessRequest.h"
#include "http/RequestChecks.h"
#include "http/RequestFraming.h"
#include "http/XmlLimits.h"

namespace {

using zk::http::FramingEdit;
using zk::http::RequestFraming;

struct Fed {
    std::string stream;  // after the edits
    std::vector<zk::http::RequestVerdict> verdicts;
    uint64_t outstanding = 0;
    bool stopped = false;
};

// Feeds text in pieces of step bytes, applying the edits as the front end
// does; with skipOpaque, body bytes are counted without their content first,
// as the front end hands them over.
Fed Feed(const std::string& text, size_t step, uint64_t budget = 1000, uint64_t maxBody = 1 << 20,
         bool skipOpaque = false) {
    uint64_t used = 0;
    RequestFraming f(maxBody, 65536, [&](uint64_t n) {
        if (used + n > budget) return false;
        used += n;
        return true;
    });
    Fed out;
    out.stream = text;
    for (size_t i = 0; i < text.size(); i += step) {
        std::string_view piece = std::string_view(text).substr(i, step);
        if (skipOpaque) {
            const size_t opaque = static_cast<size_t>(std::min<uint64_t>(f.OpaqueLeft(), piece.size()));
            f.SkipOpaque(opaque);
            piece.remove_prefix(opaque);
        }
        for (const FramingEdit& e : f.Feed(piece)) {
            EXPECT_LE(e.at + e.bytes.size(), i + step) << "an edit reaches past the bytes fed";
            out.stream.replace(e.at, e.bytes.size(), e.bytes);
        }
    }
    for (auto v = f.TakeVerdict(); v.busy || v.reserved || f.Outstanding(); v = f.TakeVerdict()) {
        out.verdicts.push_back(v);
        if (out.verdicts.size() > 10) break;
    }
    out.outstanding = f.Outstanding();
    out.stopped = f.Stopped();
    EXPECT_EQ(f.Fed(), text.size());
    return out;
}

TEST(RequestFraming, EditsAndVerdicts) {
    const std::string body(10, 'b');
    struct Case {
        std::string request;
        std::string expect;  // the stream as the parser reads it
        bool busy;
        uint64_t reserved;
    };
    const std::string post = "POST / HTTP/1.1\r\nHost: h\r\n";
    const Case cases[] = {
        {post + "Content-Length: 10\r\n\r\n" + body, post + "Content-Length: 10\r\n\r\n" + body, false, 10},
        {post + "Content-Length: 10\r\nContent-Length: 10\r\n\r\n" + body,
         post + "Content-Length: 10\r\nContent-Length: 10\r\n\r\n" + body, false, 10},
        {post + "Content-Length: 10\r\nContent-Length: 11\r\n\r\n" + body,
         post + "Content-Length: 10\r\n" + std::string(18, 'x') + "\r\n\r\n" + body, false, 10},
        {post + "X-A: a" + std::string(1, '\0') + "b\r\n\r\n", post + "xxxxxxxx\r\n\r\n", false, 0},
        {post + "X-A: a\r\n folded\r\n\r\n", post + "X-A: a\r\n" + std::string(7, 'x') + "\r\n\r\n", false, 0},
        // Over the budget: declared empty, marked busy, later framing neutralised.
        {post + "Content-Length: 5000\r\nTransfer-Encoding: chunked\r\n\r\n",
         post + "Content-Length:0    \r\n" + std::string(17, 'x') + ": chunked\r\n\r\n", true, 0},
        // Chunks take budget as they come; the one that does not fit is blanked.
        {post + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n400\r\n",
         post + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\nxxx\r\n", false, 5},
        // A GET's Content-Length brings no body and takes nothing.
        {"GET / HTTP/1.1\r\nContent-Length: 5000\r\n\r\n", "GET / HTTP/1.1\r\nContent-Length: 5000\r\n\r\n", false, 0},
    };
    for (const Case& c : cases) {
        for (size_t step : {size_t(1), size_t(7), c.request.size()}) {
            for (bool skip : {false, true}) {
                SCOPED_TRACE(c.request + " step " + std::to_string(step) + (skip ? " body skipped" : ""));
                Fed f = Feed(c.request, step, 1000, 1 << 20, skip);
                EXPECT_EQ(f.stream, c.expect);
                uint64_t reserved = f.outstanding;
                bool busy = false;
                for (auto& v : f.verdicts) {
                    reserved += v.reserved;
                    busy |= v.busy;
                }
                EXPECT_EQ(busy, c.busy);
                EXPECT_EQ(reserved, c.reserved);
            }
        }
    }
}

TEST(RequestFraming, KeepAliveRequestsFollowOneAnother) {
    std::string one = "POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc";
    std::string chunked = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n";
    std::string two = one + chunked + "POST / HTTP/1.1\r\nContent-Length: 4\r\nContent-Length: 5\r\n\r\n";
    for (bool skip : {false, true}) {
        Fed f = Feed(two, 5, 1000, 1 << 20, skip);
        EXPECT_EQ(f.stream.substr(0, one.size() + chunked.size()), one + chunked);
        EXPECT_NE(f.stream.find("xxxxxxxxxxxxxxxxx"), std::string::npos);  // the third head's conflict
    }
}

// Body bytes taken without being looked at leave the framing where feeding
// them would: the next request's head is still read and edited.
TEST(RequestFraming, BodiesSkippedUnread) {
    const std::string head = "POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n";
    const std::string next = "POST / HTTP/1.1\r\nContent-Length: 4\r\nContent-Length: 5\r\n\r\n";
    RequestFraming f(1 << 20, 65536, [](uint64_t) { return true; });
    EXPECT_EQ(f.OpaqueLeft(), 0u);  // still in the head
    EXPECT_TRUE(f.Feed(head).empty());
    EXPECT_EQ(f.OpaqueLeft(), 10u);
    f.SkipOpaque(4);
    f.SkipOpaque(5);
    EXPECT_EQ(f.OpaqueLeft(), 1u);  // no more may be skipped than the body holds
    EXPECT_EQ(f.Fed(), head.size() + 9);
    const auto edits = f.Feed("b" + next);
    ASSERT_EQ(edits.size(), 1u);
    EXPECT_EQ(edits[0].at, head.size() + 10 + 36);  // the second Content-Length of the next head
}

TEST(XmlLimits, AttributesAndNodes) {
    auto attrs = [](size_t n, const char* value) {
        std::string s = "<a";
        for (size_t i = 0; i < n; ++i) s += " b" + std::to_string(i) + "=\"" + value + "\"";
        return s + "/>";
    };
    EXPECT_TRUE(zk::http::WithinXmlLimits(attrs(64, "1")));
    EXPECT_FALSE(zk::http::WithinXmlLimits(attrs(65, "1")));
    EXPECT_TRUE(zk::http::WithinXmlLimits(attrs(64, "x=y>z")));          // "=" and ">" inside values
    EXPECT_TRUE(zk::http::WithinXmlLimits("<!-- " + attrs(100, "1") + " -->"));  // a comment is one node
    std::string many;
    for (size_t i = 0; i < zk::http::kMaxNodesBase + 100; ++i) many += "<a/>";
    EXPECT_FALSE(zk::http::WithinXmlLimits(many));
    EXPECT_TRUE(zk::http::WithinXmlLimits(many + std::string(64 * 1024, ' ')));  // allowed for its size
}

TEST(RequestChecks, HostNames) {
    const std::pair<const char*, bool> cases[] = {
        {nullptr, true}, {"127.0.0.1", true}, {"127.0.0.1:19744", true}, {"LocalHost:1", true},
        {"[::1]", true}, {"[::1]:20026", true}, {"myhost", true}, {"MYHOST:80", true},
        {"", false}, {"evil.example", false}, {"localhost.evil", false}, {"localhost:", false},
        {"localhost:x", false}, {"[::1]x", false}, {"127.0.0.2", false}, {"localhost:1:2", false},
    };
    for (const auto& [host, ok] : cases) EXPECT_EQ(zk::http::HostAllowed(host, "myhost"), ok) << (host ? host : "none");
    EXPECT_FALSE(zk::http::HostAllowed("*", "*"));
    EXPECT_TRUE(zk::http::OriginAllowed("https://a", {}));
    EXPECT_TRUE(zk::http::OriginAllowed("", {"https://a"}));
    EXPECT_FALSE(zk::http::OriginAllowed("https://a/", {"https://a"}));
}

// The origin whose secrets a command may use. The service's own origin is
// the exchange frame's, shared by every page: only the page origin it
// forwards counts, and without one the request is refused.
TEST(RequestChecks, PageOrigin) {
    const zk::http::OwnOrigin own{"myhost", 19744, 20026};
    const char* none = nullptr;
    struct Case {
        const char* origin;
        const char* forwarded;
        std::optional<std::string> page;
    } cases[] = {
        {none, none, ""},                                       // a program of the user's
        {none, "https://a.example", ""},                        // no Origin: nothing forwarded counts
        {"https://a.example", none, "https://a.example"},
        {"https://a.example", "https://b.example", "https://a.example"},  // a page cannot speak for another
        {"http://127.0.0.1:19744", "https://a.example", "https://a.example"},
        {"https://localhost:20026", "http://127.0.0.2:8080", "http://127.0.0.2:8080"},
        {"http://[::1]:19744", "null", "null"},
        {"http://MYHOST:19744", "https://a.example", "https://a.example"},
        {"http://127.0.0.1:19744", none, std::nullopt},           // the frame always names its page
        {"http://127.0.0.1:19744", "", std::nullopt},
        {"http://127.0.0.1:19744", "https://a.example/path", std::nullopt},
        {"http://127.0.0.1:19744", "a.example", std::nullopt},
        {"http://127.0.0.1:19744", "https://a\"b", std::nullopt},
        {"http://127.0.0.1:19744", "https://localhost:20026", std::nullopt},  // its own origin again
        // Not the service's own: a scheme or port of no listener, another host.
        {"https://127.0.0.1:19744", "https://a.example", "https://127.0.0.1:19744"},
        {"http://127.0.0.1:8080", "https://a.example", "http://127.0.0.1:8080"},
        {"http://127.0.0.2:19744", "https://a.example", "http://127.0.0.2:19744"},
        {"http://127.0.0.1", "https://a.example", "http://127.0.0.1"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(zk::http::PageOrigin(c.origin, c.forwarded, own), c.page)
            << (c.origin ? c.origin : "none") << " / " << (c.forwarded ? c.forwarded : "none");
    // Default ports are implied; a listener that is off has no origin.
    EXPECT_TRUE(zk::http::IsOwnOrigin("http://localhost", {"", 80, 0}));
    EXPECT_TRUE(zk::http::IsOwnOrigin("https://localhost", {"", 0, 443}));
    EXPECT_FALSE(zk::http::IsOwnOrigin("https://localhost:0", {"", 19744, 0}));
}

TEST(LogText, EscapedCutAndRotated) {
    EXPECT_EQ(zk::log::LoggedText(std::string("a\r\nb\tc\x01\x7f", 8)), "a\\r\\nb\\tc\\x01\\x7F");
    std::string big(zk::log::kMaxText + 10, 'q');
    EXPECT_EQ(zk::log::LoggedText(big), std::string(zk::log::kMaxText, 'q') + "... [4106 bytes in all]");

    zktest::TempDir dir;
    zk::log::Start(dir.str(), true, 2000);
    for (int i = 0; i < 40; ++i) ZLOG("F", "line %d %s %c", i, "x\r\ny", '\n');
    zk::log::Stop();
    std::string current = zktest::ReadFile(dir.file("ZelkorH.log"));
    std::string old = zktest::ReadFile(dir.file("ZelkorH.log.1"));
    EXPECT_FALSE(old.empty());
    EXPECT_LT(current.size(), 2200u);
    EXPECT_NE(current.find("line 39 x\\r\\ny \\n\r\n"), std::string::npos) << current;
    EXPECT_EQ(std::filesystem::status(dir.file("ZelkorH.log")).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST(LogRedact, DocumentsByStructure) {
    const struct {
        const char* xml;
        const char* expect;
    } cases[] = {
        {"<Request><Command>SAVE_DATA</Command><Data>secret blob</Data></Request>",
         "<Request><Command>SAVE_DATA</Command><Data>[11 bytes]</Data></Request>"},
        {"<Request><Command>get_version</Command><Params><Pass>pw</Pass><Base KEY=\"k&gt;x\">n</Base></Params>"
         "<Data>kept</Data></Request>",
         "<Request><Command>get_version</Command><Params><Pass>***</Pass><Base KEY=\"***\">n</Base></Params>"
         "<Data>kept</Data></Request>"},
        {"<Request><Command>DONGLES_FILE_SET</Command><Params><Pass>cGlu</Pass><FileName>Zg==</FileName></Params>"
         "<Data>c2VjcmV0</Data></Request>",
         "<Request><Command>DONGLES_FILE_SET</Command><Params><Pass>***</Pass><FileName>Zg==</FileName></Params>"
         "<Data>[8 bytes]</Data></Request>"},
        {"<Request><Command>Encrypt</Command><Params><Cert>QUJD</Cert></Params><Data>cGxhaW4=</Data></Request>",
         "<Request><Command>Encrypt</Command><Params><Cert>QUJD</Cert></Params><Data>[8 bytes]</Data></Request>"},
        {"<Result><Command>GET_ORIGINAL</Command><Data><Original>cGxhaW4=</Original><Certs/></Data></Result>",
         "<Result><Command>GET_ORIGINAL</Command><Data>[8 bytes]</Data></Result>"},
        {"<Result><Command>DB_COMMAND</Command><Data><Base>b</Base><Result>cm93cw==</Result></Data></Result>",
         "<Result><Command>DB_COMMAND</Command><Data><Base>b</Base><Result>[8 bytes]</Result></Data></Result>"},
        {"<Result><Command>CTX_ADD_TIMESTAMP</Command><Data><Response>MIIB</Response><WSAResponse>0</WSAResponse>"
         "</Data></Result>",
         "<Result><Command>CTX_ADD_TIMESTAMP</Command><Data><Response>[4 bytes]</Response><WSAResponse>0</WSAResponse>"
         "</Data></Result>"},
        {"<Request><Command>CTX_ADD_COMPLETEINFO</Command><Params><Objects><Object><Cert>QUJD</Cert><CRLs><CRL>MIIC"
         "</CRL></CRLs><OCSPs><OCSP>MIID</OCSP></OCSPs></Object></Objects><Proxy><Password>pw</Password></Proxy>"
         "</Params></Request>",
         "<Request><Command>CTX_ADD_COMPLETEINFO</Command><Params><Objects><Object><Cert>QUJD</Cert><CRLs><CRL>"
         "[4 bytes]</CRL></CRLs><OCSPs><OCSP>[4 bytes]</OCSP></OCSPs></Object></Objects><Proxy><Password>***"
         "</Password></Proxy></Params></Request>"},
    };
    for (const auto& c : cases) {
        tinyxml2::XMLDocument doc;
        ASSERT_EQ(doc.Parse(c.xml), tinyxml2::XML_SUCCESS);
        std::string command = zk::log::RequestCommand(doc);
        if (command.empty()) command = doc.FirstChildElement("Result")->FirstChildElement("Command")->GetText();
        EXPECT_EQ(zk::log::RedactDocument(doc, zk::LogRulesFor(command), 10000), c.expect);
    }
    // Printing stops near the limit, still well-formed.
    std::string many = "<Request>";
    for (int i = 0; i < 1000; ++i) many += "<X>0123456789</X>";
    many += "</Request>";
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.Parse(many.c_str()), tinyxml2::XML_SUCCESS);
    std::string shown = zk::log::RedactDocument(doc, zk::LogRulesFor(""), 500);
    EXPECT_LT(shown.size(), 600u);
    tinyxml2::XMLDocument again;
    EXPECT_EQ(again.Parse(shown.c_str()), tinyxml2::XML_SUCCESS);
}

}  // namespace
