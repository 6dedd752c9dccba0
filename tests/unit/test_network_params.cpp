// How the network commands read their services: server addresses read as
// URIs (never cut at a ":"), the Host element with its defaults, the Proxy
// element folded into the proxy suffix, the OCSP server registered for an
// issuer (by the page's origin in memory, or in Params.ini) with its hyphen
// rule, and the rule a page's exchanges are handed.
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include "TestUtil.h"
#include "base/RequestContext.h"
#include "base/Settings.h"
#include "commands/containers/NetworkParams.h"
#include "commands/ocsp/OcspServers.h"
#include "platform/ModulePath.h"
#include "platform/ServerAddress.h"

namespace {

TEST(ServerAddress, ReadAsUris) {
    const struct {
        const char* text;
        bool ok;
        const char* url;  // Url(8080) when ok
    } cases[] = {
        {"http://ocsp.example/ocsp", true, "http://ocsp.example:8080/ocsp"},
        {"http://ocsp.example:2560/a/b?x=1", true, "http://ocsp.example:2560/a/b?x=1"},
        {"HTTPS://tsa.example", true, "https://tsa.example:8080/"},
        {"tsa.example", true, "http://tsa.example:8080/"},
        {"tsa.example:3180", true, "http://tsa.example:3180/"},
        {"  10.0.0.1:80/tsp  ", true, "http://10.0.0.1:80/tsp"},
        {"[::1]:2560", true, "http://[::1]:2560/"},
        {"http://[::1]/ocsp", true, "http://[::1]:8080/ocsp"},
        {"host?q", true, "http://host:8080/?q"},
        {"", false, ""},
        {"ftp://host/", false, ""},
        {"http://", false, ""},
        {"http://:80/", false, ""},
        {"http://user:pw@host/", false, ""},
        {"host:0", false, ""},
        {"host:65536", false, ""},
        {"host:80:90", false, ""},
        {"host:8o", false, ""},
        {"ho st", false, ""},
        {"host/a#frag", false, ""},
        {"[::1", false, ""},
        {"[::1]x", false, ""},
        {"http://host\r\nX: y/", false, ""},
    };
    for (const auto& c : cases) {
        zk::net::ServerAddress a;
        ASSERT_EQ(zk::net::ParseServerAddress(c.text, a), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(a.Url(8080), c.url) << c.text;
        }
    }
    zk::net::ServerAddress a;
    ASSERT_TRUE(zk::net::ParseServerAddress("https://tsa.example/x", a));
    EXPECT_EQ(a.Url(), "https://tsa.example:443/x");  // no port anywhere: the scheme's
}

const tinyxml2::XMLElement* Params(tinyxml2::XMLDocument& doc, const std::string& inner) {
    EXPECT_EQ(doc.Parse(("<Params>" + inner + "</Params>").c_str()), tinyxml2::XML_SUCCESS);
    return doc.RootElement();
}

TEST(NetworkParams, HostWithItsDefaults) {
    const struct {
        const char* xml;
        bool ok;
        const char* address;
        int32_t port, timeout;
    } cases[] = {
        {"<Host><Address>tsa.example</Address></Host>", true, "tsa.example", 0, 1},
        {"", true, "", 0, 1},
        {"<Host><Address>h</Address><Port>3180</Port><Timeout>30</Timeout></Host>", true, "h", 3180, 30},
        {"<Host><Timeout>0</Timeout></Host>", true, "", 0, 0},  // range checks are the provider's
        {"<Host><Port>80x</Port></Host>", false, "", 0, 0},
        {"<Host><Timeout>99999999999</Timeout></Host>", false, "", 0, 0},
    };
    for (const auto& c : cases) {
        tinyxml2::XMLDocument doc;
        const std::optional<zk::HostParam> host = zk::ReadHost(Params(doc, c.xml));
        ASSERT_EQ(host.has_value(), c.ok) << c.xml;
        if (!host) continue;
        EXPECT_EQ(host->address, c.address) << c.xml;
        EXPECT_EQ(host->port, c.port) << c.xml;
        EXPECT_EQ(host->timeout, c.timeout) << c.xml;
    }
}

TEST(NetworkParams, ProxySuffix) {
    const struct {
        const char* xml;
        const char* suffix;
    } cases[] = {
        {"", ""},
        {"<Proxy><Port>3128</Port><User>u</User><Password>p</Password></Proxy>", ""},  // no Address: nothing
        {"<Proxy><Address>proxy.lan</Address></Proxy>", ",proxy=proxy.lan"},
        {"<Proxy><Address>proxy.lan</Address><Port>3128</Port></Proxy>", ",proxy=proxy.lan:3128"},
        {"<Proxy><Address>proxy.lan</Address><Password>p</Password></Proxy>", ",proxy=proxy.lan"},  // no User
        {"<Proxy><Address>proxy.lan</Address><Port>3128</Port><User>u</User></Proxy>", ",proxy=proxy.lan:3128,user=u"},
        {"<Proxy><Address>proxy.lan</Address><User>u</User><Password>p w</Password></Proxy>",
         ",proxy=proxy.lan,user=u,pass=p w"},
        // Address and Password go to Windows-1251, User as given.
        {"<Proxy><Address>проксі</Address><User>u</User><Password>ж</Password></Proxy>",
         ",proxy=\xEF\xF0\xEE\xEA\xF1\xB3,user=u,pass=\xE6"},
    };
    for (const auto& c : cases) {
        tinyxml2::XMLDocument doc;
        EXPECT_EQ(zk::ProxySuffix(Params(doc, c.xml)).str(), c.suffix) << c.xml;
    }
    tinyxml2::XMLDocument doc;
    const zk::provider::ServiceTarget t =
        zk::Target("http://tsa/", 0, 1, zk::ProxySuffix(Params(doc, "<Proxy><Address>p</Address></Proxy>")));
    EXPECT_EQ(t.server.str(), "http://tsa/,proxy=p");
}

TEST(NetworkParams, ConfiguredOcspServerAndItsHyphenRule) {
    zktest::TempDir dir;
    const std::string saved = zk::ModulePath();
    zk::SetModulePathForTesting(dir.file("ZelkorH"));
    zktest::WriteFile(dir.file("Params.ini"),
                      "[ocspServers]\n"
                      "UA-36865753=http://ocsp.qlb.example:2560/ocsp\n"
                      "UA-33406510-2021=ocsp.usc.example:8080\n"
                      "AB=ocsp.ab.example\n"
                      "XYZ-1=ocsp.xyz.example\n");
    const struct {
        const char* issuerSN;
        const char* address;
        int32_t port;
    } cases[] = {
        {"UA-36865753", "http://ocsp.qlb.example:2560/ocsp", 2560},
        {"UA-36865753-2310", "http://ocsp.qlb.example:2560/ocsp", 2560},  // cut before the last "-"
        {"UA-33406510-2021", "ocsp.usc.example:8080", 8080},
        {"UA-33406510", "", 0},           // a longer key is never found from a shorter one
        {"AB-1", "", 0},                  // last "-" is the third character: no second look
        {"XYZ-1-2", "ocsp.xyz.example", 0},
        {"UA-99999999", "", 0},
        {"", "", 0},
    };
    for (const auto& c : cases) {
        const zk::ServerAddressParam server = zk::ConfiguredOcspServer(c.issuerSN);
        EXPECT_EQ(server.address, c.address) << c.issuerSN;
        EXPECT_EQ(server.port, c.port) << c.issuerSN;
    }
    zk::SetModulePathForTesting(saved);
}

// The rule of a page's exchanges: every failure alike, public addresses
// only unless AllowPrivateTargets; the user's own configured server stays
// reachable for a page unless the page routes it through its own proxy.
TEST(NetworkParams, ThePageRuleGoesWithTheTarget) {
    const zk::HostSettings saved = zk::Host();
    const zk::SecretString noProxy, proxy(std::string(",proxy=127.0.0.1:3128"));
    const struct {
        const char* origin;
        bool allowPrivate;
        bool configured;
        const zk::SecretString* proxy;
        int32_t rule;
    } cases[] = {
        {"", false, false, &noProxy, 0},  // a program of the user
        {"", false, false, &proxy, 0},
        {"https://page.example", false, false, &noProxy, ZK_NET_PLAIN_ERRORS | ZK_NET_PUBLIC_ONLY},
        {"https://page.example", true, false, &noProxy, ZK_NET_PLAIN_ERRORS},
        {"https://page.example", false, true, &noProxy, ZK_NET_PLAIN_ERRORS},
        {"https://page.example", false, true, &proxy, ZK_NET_PLAIN_ERRORS | ZK_NET_PUBLIC_ONLY},
    };
    for (const auto& c : cases) {
        zk::HostSettings settings = saved;
        settings.allowPrivateTargets = c.allowPrivate;
        zk::SetHostSettingsForTesting(settings);
        zk::RequestContext context;
        context.origin = c.origin;
        zk::ScopedRequest scope(context);
        EXPECT_EQ(zk::Target("http://ocsp/", 0, 1, *c.proxy, c.configured).rule, c.rule)
            << c.origin << " " << c.allowPrivate << " " << c.configured << " " << c.proxy->str();
    }
    zk::SetHostSettingsForTesting(saved);
}

// A page's registration serves its own origin and nobody else, before the
// configured one; a program's goes to Params.ini and serves everybody.
TEST(NetworkParams, OcspServerRegistrationsServeTheirOrigin) {
    zktest::TempDir dir;
    const std::string saved = zk::ModulePath();
    zk::SetModulePathForTesting(dir.file("ZelkorH"));
    zk::ForgetPageOcspServersForTesting();
    zktest::WriteFile(dir.file("Params.ini"), "[ocspServers]\nUA-1=http://configured.example/\n");
    const auto as = [](const char* origin, auto body) {
        zk::RequestContext context;
        context.origin = origin;
        zk::ScopedRequest scope(context);
        return body();
    };
    const auto lookup = [](const char* issuer) { return zk::ConfiguredOcspServer(issuer); };
    ASSERT_EQ(as("https://a.example", [] {
                  return zk::RegisterOcspServers({{"UA-1", "http://a.example/1"}, {"UA-2", "http://a.example/2"}});
              }),
              zk::RegisterResult::Kept);
    const struct {
        const char* origin;
        const char* issuer;
        const char* address;
        bool configured;
    } cases[] = {
        {"https://a.example", "UA-1", "http://a.example/1", false},
        {"https://a.example", "ua-2", "http://a.example/2", false},     // names without regard to case
        {"https://a.example", "UA-2-77", "http://a.example/2", false},  // the hyphen rule reaches it too
        {"https://b.example", "UA-1", "http://configured.example/", true},
        {"https://b.example", "UA-2", "", false},
        {"", "UA-1", "http://configured.example/", true},
        {"", "UA-2", "", false},
    };
    for (const auto& c : cases) {
        const zk::ServerAddressParam server = as(c.origin, [&] { return lookup(c.issuer); });
        EXPECT_EQ(server.address, c.address) << c.origin << " " << c.issuer;
        EXPECT_EQ(server.configured, c.configured) << c.origin << " " << c.issuer;
    }
    EXPECT_EQ(zktest::ReadFile(dir.file("Params.ini")), "[ocspServers]\nUA-1=http://configured.example/\n");

    // Beyond the bounds nothing of the request is kept.
    std::vector<zk::OcspServerEntry> many;
    for (int i = 0; i <= 1024; ++i) many.push_back({"UA-x" + std::to_string(i), "http://a.example/"});
    EXPECT_EQ(as("https://a.example", [&] { return zk::RegisterOcspServers(many); }), zk::RegisterResult::TooLarge);
    EXPECT_EQ(as("https://a.example", [&] { return lookup("UA-x0").address; }), "");
    EXPECT_EQ(as("https://a.example", [] {
                  return zk::RegisterOcspServers({{"UA-3", std::string(1024, 'h')}});
              }),
              zk::RegisterResult::TooLarge);

    // A registration without an origin lands in the file.
    EXPECT_EQ(as("", [] { return zk::RegisterOcspServers({{"UA-4", "http://user.example/"}}); }),
              zk::RegisterResult::Kept);
    EXPECT_EQ(as("https://b.example", [&] { return lookup("UA-4").address; }), "http://user.example/");

    // Only so many origins are kept: the one that registered longest ago goes first.
    for (size_t i = 0; i < zk::kMaxPageOrigins; ++i) {
        const std::string origin = "https://o" + std::to_string(i) + ".example";
        as(origin.c_str(), [] { return zk::RegisterOcspServers({{"UA-9", "http://o.example/"}}); });
    }
    EXPECT_EQ(as("https://a.example", [&] { return lookup("UA-2").address; }), "");
    EXPECT_EQ(as("https://o1.example", [&] { return lookup("UA-9").address; }), "http://o.example/");
    zk::ForgetPageOcspServersForTesting();
    zk::SetModulePathForTesting(saved);
}

}  // namespace
