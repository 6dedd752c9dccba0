// How the network commands read their services: server addresses read as
// URIs (never cut at a ":"), the Host element with its defaults, the Proxy
// element folded into the proxy suffix, and the OCSP server configured for an
// issuer in Params.ini with its hyphen rule.
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include "TestUtil.h"
#include "commands/containers/NetworkParams.h"
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

}  // namespace
