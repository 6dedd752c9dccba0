// Reading the signer parameter block: each parameter's decoding and default,
// empty elements as absent, the later occurrence winning, and the rule that
// decides whether a block is sufficient.
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include "commands/signer/SignerLocator.h"
#include "base/CBase64.h"
#include "platform/CodePage.h"

namespace {

zk::SignerParams Read(const std::string& params, unsigned fields = zk::kSignerWithLib) {
    tinyxml2::XMLDocument doc;
    EXPECT_EQ(doc.Parse(("<Params>" + params + "</Params>").c_str()), tinyxml2::XML_SUCCESS);
    return zk::ReadSignerParams(doc.RootElement(), fields);
}

std::string B64(const std::string& text) { return zk::Base64Encode(text); }

TEST(SignerParams, DecodingAndDefaults) {
    const zk::SignerParams none = Read("");
    EXPECT_EQ(none.type, -1);
    EXPECT_EQ(none.dongleSlot, 0);
    EXPECT_FALSE(none.pass.present);
    EXPECT_FALSE(none.senderCert || none.senderKey);

    const zk::SignerParams p = Read(
        "<lib>QLB</lib><drfo>Петренко</drfo><TYPE>2</TYPE><Serial>AB12</Serial>"
        "<Pass preserve=\"TRUE\">" + B64("пароль") + "</Pass><SenderCert>" + B64("cert") + "</SenderCert>"
        "<SenderSK>" + B64("key") + "</SenderSK><DongleProviderName>Токен</DongleProviderName>"
        "<DongleSlotId>3</DongleSlotId>");
    EXPECT_EQ(p.lib, "QLB");
    EXPECT_EQ(p.drfo, zk::Utf8ToCp1251("Петренко"));
    EXPECT_EQ(p.type, 2);
    EXPECT_EQ(p.serial, "AB12");
    EXPECT_TRUE(p.pass.present);
    EXPECT_TRUE(p.pass.preserve);
    EXPECT_EQ(p.pass.text.str(), zk::Utf8ToCp1251("пароль"));
    EXPECT_EQ(std::string(p.senderCert->begin(), p.senderCert->end()), "cert");
    EXPECT_EQ(std::string(p.senderKey->bytes().begin(), p.senderKey->bytes().end()), "key");
    EXPECT_EQ(p.dongleProvider, zk::Utf8ToCp1251("Токен"));
    EXPECT_EQ(p.dongleSlot, 3);

    EXPECT_EQ(Read("<Lib>QLB</Lib>", 0).lib, "") << "SET_EXTERNAL_SIGN does not read Lib";
}

TEST(SignerParams, EmptyElementsAreAbsentAndTheLaterWins) {
    const zk::SignerParams p = Read("<Type>2</Type><Type></Type><Serial>A</Serial><Serial>B</Serial>"
                                    "<Pass Preserve=\"true\"/><SenderCert/>");
    EXPECT_EQ(p.type, -1) << "the later, empty Type counts as absent";
    EXPECT_EQ(p.serial, "B");
    EXPECT_FALSE(p.pass.present);
    EXPECT_FALSE(p.senderCert);
    // A Pass whose text decodes to nothing is present with an empty password.
    const zk::SignerParams cached = Read("<Pass Preserve=\"true\">=</Pass>");
    EXPECT_TRUE(cached.pass.present);
    EXPECT_TRUE(cached.pass.text.empty());
    EXPECT_TRUE(cached.pass.preserve);
    EXPECT_FALSE(Read("<Pass Preserve=\"yes\">QQ==</Pass>").pass.preserve);
}

TEST(SignerParams, Sufficiency) {
    const std::string cert = "<SenderCert>QQ==</SenderCert>";
    const std::pair<std::string, bool> cases[] = {
        {"", false},
        {cert, false},
        {cert + "<SenderSK>QQ==</SenderSK>", true},
        {cert + "<DongleProviderName>T</DongleProviderName>", true},
        {"<SenderSK>QQ==</SenderSK>", false},
        {"<DongleProviderName>T</DongleProviderName>", false},
        {"<DRFO>1</DRFO>", true},
        {"<Serial>1</Serial>", true},
        {"<Type>1</Type><Lib>QLB</Lib>", false},
    };
    for (const auto& [params, sufficient] : cases) EXPECT_EQ(Read(params).Sufficient(), sufficient) << params;
}

}  // namespace
