// The subject record of GEN_CERTIF_REQUEST as read from a page's subject
// description: defaults, cutting at the fields, overriding and accumulating
// elements, and the bounds of the identifier list.
#include <gtest/gtest.h>

#include <cstring>

#include "commands/keys/CertRequestCommand.h"
#include "platform/CodePage.h"

namespace {

// The record is packed: numeric fields are compared as values (unary +) so no
// misaligned reference to them is ever bound.

std::optional<zk::SubjectRecord> Read(const std::string& children) {
    static tinyxml2::XMLDocument doc;
    EXPECT_EQ(doc.Parse(("<Subject1>" + children + "</Subject1>").c_str()), tinyxml2::XML_SUCCESS);
    return zk::ReadSubject(doc.RootElement());
}

template <size_t N>
std::string Field(const char (&f)[N]) {
    return std::string(f, strnlen(f, N));
}

std::string Oids(int count, const std::string& prefix = "1.2.3.") {
    std::string xml = "<ExtKeyUsageExt>";
    for (int i = 0; i < count; ++i) xml += "<OID>" + prefix + std::to_string(i) + "</OID>";
    return xml + "</ExtKeyUsageExt>";
}

TEST(CertSubject, Defaults) {
    auto s = Read("<Name>x</Name>");
    ASSERT_TRUE(s);
    EXPECT_EQ(+s->record.SigningSchema, 9);
    EXPECT_EQ(Field(s->record.CurrencyCode), "UAH");
    EXPECT_EQ(+s->record.HasTransactionLimit, 0);
    EXPECT_EQ(+s->record.ExtKeyUsageCount, 0);
    EXPECT_EQ(Field(s->record.SubjectKeyId), "");
}

TEST(CertSubject, FieldsOverridesAndCuts) {
    auto s = Read("<name>first</name><NAME>Тарас</NAME><edrpou>123456789012345678</edrpou><drfo>1234567890</drfo>"
                  "<KeyUsage>192</KeyUsage><ExtKeyUsage>4</ExtKeyUsage><IsQualified>TRUE</IsQualified>"
                  "<IsKeyInDevice>yes</IsKeyInDevice><CurrencyCode>EUR</CurrencyCode><SigningSchema>10</SigningSchema>"
                  "<TransactionLimit><Amount>1000</Amount><Exponent>-2</Exponent></TransactionLimit>");
    ASSERT_TRUE(s);
    const CertRequestSubject& r = s->record;
    EXPECT_EQ(Field(r.Name), zk::Utf8ToCp1251("Тарас")) << "the later element wins, names ignore case";
    EXPECT_EQ(Field(r.EDRPOU), "123456789012345") << "cut at 15 bytes, no terminating zero";
    EXPECT_EQ(Field(r.DRFO), "1234567890");
    EXPECT_EQ(+r.KeyUsage, 192u);
    EXPECT_EQ(+r.ExtKeyUsage, 4u);
    EXPECT_EQ(+r.IsQualified, 1);
    EXPECT_EQ(+r.IsKeyInDevice, 0) << "only \"true\" is true";
    EXPECT_EQ(Field(r.CurrencyCode), "EUR");
    EXPECT_EQ(+r.SigningSchema, 10);
    EXPECT_EQ(+r.HasTransactionLimit, 1);
    EXPECT_EQ(+r.LimitAmount, 1000);
    EXPECT_EQ(+r.LimitExponent, -2);
}

TEST(CertSubject, IdentifierList) {
    auto s = Read(Oids(2) + "<ExtKeyUsageExt><OID/><OID>1.3.6.1.5.5.7.3.4</OID></ExtKeyUsageExt>");
    ASSERT_TRUE(s);
    ASSERT_EQ(s->oids.size(), 3u) << "entries accumulate in document order; empty ones are skipped";
    EXPECT_STREQ(s->oids[2].data(), "1.3.6.1.5.5.7.3.4");
    EXPECT_EQ(+s->record.ExtKeyUsageCount, 3);

    EXPECT_TRUE(Read(Oids(100)));
    EXPECT_FALSE(Read(Oids(101)));
    EXPECT_FALSE(Read(Oids(60) + Oids(41))) << "counted over every list";
    EXPECT_TRUE(Read("<ExtKeyUsageExt><OID>1." + std::string(62, '2') + "</OID></ExtKeyUsageExt>"));
    EXPECT_FALSE(Read("<ExtKeyUsageExt><OID>1." + std::string(63, '2') + "</OID></ExtKeyUsageExt>"))
        << "an identifier longer than an entry is refused, not cut";
}

}  // namespace
