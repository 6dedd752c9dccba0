// The parameters of the per-signer OCSP check of CTX_GET_ORIGINAL (the
// requester named under OCSP, read only when the check is enabled).
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include "commands/containers/SignerOcsp.h"

namespace {

TEST(OcspCheckParams, RequesterSecretsNeedACertificateSource) {
    const struct {
        const char* params;
        bool accepted;
        bool enabled;
    } cases[] = {
        {"<Params/>", true, false},
        {"<Params><OCSP><Enabled>false</Enabled><Pass>cA==</Pass></OCSP></Params>", true, false},
        {"<Params><OCSP><Enabled>true</Enabled></OCSP></Params>", true, true},
        {"<Params><OCSP><Enabled>TRUE</Enabled><DRFO>1</DRFO><Pass>cA==</Pass></OCSP></Params>", true, true},
        {"<Params><OCSP><Enabled>true</Enabled><Pass>cA==</Pass></OCSP></Params>", false, true},
        {"<Params><OCSP><Enabled>true</Enabled><SenderSK>cA==</SenderSK></OCSP></Params>", false, true},
        {"<Params><OCSP><Enabled>true</Enabled><DongleProviderName>x</DongleProviderName></OCSP></Params>", false,
         true},
        {"<Params><OCSP><Enabled>true</Enabled><Timeout>abc</Timeout></OCSP></Params>", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.params);
        tinyxml2::XMLDocument doc;
        ASSERT_EQ(doc.Parse(c.params), tinyxml2::XML_SUCCESS);
        zk::OcspCheckParams out;
        EXPECT_EQ(zk::ReadOcspCheckParams(doc.RootElement(), out), c.accepted);
        if (c.accepted) {
            EXPECT_EQ(out.enabled, c.enabled);
        }
    }
}

}  // namespace
