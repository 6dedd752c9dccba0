// The provider's certificate facts, checked against what the openssl command
// line shows for the same generated certificate, and against the values the
// generator was given for the fields openssl does not decode.
#include <cstring>
#include <ctime>
#include <map>
#include <sstream>

#include "../unit/DiscoveryFixture.h"
#include "platform/CodePage.h"

namespace {

using zktest::RunCommand;
using zktest::ShellQuote;

std::string Cp(const std::string& utf8) { return zk::Utf8ToCp1251(utf8); }

template <size_t N>
std::string Field(const char (&f)[N]) {
    return std::string(f, strnlen(f, N));
}

// What "openssl x509" prints about a certificate.
struct OpensslView {
    std::map<std::string, std::string> subject, issuer;  // long attribute name -> UTF-8 value
    std::string serial, keyId, ocsp;
    time_t notBefore = 0, notAfter = 0;
    uint32_t keyUsage = 0;
    std::vector<std::string> eku;  // as printed
};

time_t ParseDate(const std::string& text) {
    struct tm tm {};
    strptime(text.c_str(), "%b %d %H:%M:%S %Y GMT", &tm);
    return timegm(&tm);
}

OpensslView View(const std::string& pem) {
    std::string out;
    EXPECT_EQ(RunCommand("openssl x509 -in " + ShellQuote(pem) +
                             " -noout -serial -startdate -enddate -subject -issuer"
                             " -nameopt multiline,utf8,-esc_msb -ext subjectKeyIdentifier,keyUsage,extendedKeyUsage",
                         &out),
              0);
    OpensslView v;
    // Printed alone: openssl 3.0 drops it when -ext is given too.
    EXPECT_EQ(RunCommand("openssl x509 -in " + ShellQuote(pem) + " -noout -ocsp_uri", &v.ocsp), 0);
    while (!v.ocsp.empty() && v.ocsp.back() == '\n') v.ocsp.pop_back();
    std::istringstream lines(out);
    std::string line, section;
    const std::map<std::string, uint32_t> kuNames = {{"Digital Signature", 0x80}, {"Non Repudiation", 0x40},
                                                     {"Key Encipherment", 0x20},  {"Data Encipherment", 0x10},
                                                     {"Key Agreement", 0x08},     {"Certificate Sign", 0x04},
                                                     {"CRL Sign", 0x02}};
    while (std::getline(lines, line)) {
        auto value = [&](const char* prefix) { return line.substr(std::strlen(prefix)); };
        if (line.rfind("serial=", 0) == 0) v.serial = value("serial=");
        else if (line.rfind("notBefore=", 0) == 0) v.notBefore = ParseDate(value("notBefore="));
        else if (line.rfind("notAfter=", 0) == 0) v.notAfter = ParseDate(value("notAfter="));
        else if (line == "subject=" || line == "issuer=" || line.rfind("X509v3", 0) == 0) section = line;
        else if (line.rfind("    ", 0) == 0) {
            std::string text = line.substr(4);
            if (section == "subject=" || section == "issuer=") {
                size_t eq = text.find(" = ");
                std::string name = text.substr(0, text.find(' '));
                (section == "subject=" ? v.subject : v.issuer)[name] = text.substr(eq + 3);
            } else if (section.rfind("X509v3 Subject Key Identifier", 0) == 0) {
                for (char c : text)
                    if (c != ':') v.keyId += c;
            } else if (section.rfind("X509v3 Key Usage", 0) == 0 || section.rfind("X509v3 Extended Key Usage", 0) == 0) {
                std::istringstream items(text);
                for (std::string item; std::getline(items, item, ',');) {
                    if (item[0] == ' ') item.erase(0, 1);
                    if (section.rfind("X509v3 Key Usage", 0) == 0)
                        v.keyUsage |= kuNames.at(item);
                    else
                        v.eku.push_back(item);
                }
            }
        }
    }
    return v;
}

std::string Attr(const std::map<std::string, std::string>& name, const char* key) {
    auto it = name.find(key);
    return it == name.end() ? "" : Cp(it->second);
}

class CertInfoTest : public zktest::DiscoveryFixture {
protected:
    int Describe(const std::string& file, ProviderCertInfo& info, std::vector<std::string>& eku) {
        std::string bytes = zktest::ReadFile(file);
        return zk::ReadCertInfo(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), info, eku);
    }
};

TEST_F(CertInfoTest, FactsMatchOpensslAndTheGeneratorInput) {
    pki.Ca("ca", "--cn " + ShellQuote("Тестовий ЦСК") + " --serial UA-36865753");
    struct Case {
        std::string name, options;
        std::string drfo, edrpou, eddr;
        int32_t type;
        bool qualified, sscd, noEnd;
        std::vector<std::string> eku;  // as openssl names them
        std::vector<std::string> ekuOids;
        uint32_t ekuBits;
        std::string tsp;
    };
    const Case cases[] = {
        {"full",
         "--cn " + ShellQuote("Іван Петренко") + " --org " + ShellQuote("ТОВ \"Тест\"") + " --unit " +
             ShellQuote("Відділ") + " --title " + ShellQuote("Директор") + " --region " + ShellQuote("Київська") +
             " --district " + ShellQuote("Бориспільський") + " --street " + ShellQuote("вул. Хрещатик, 1") +
             " --postal 01001 --tel " + ShellQuote("+380 44 123-45-67") +
             " --email ivan@example.org --drfo 1234567890 --edrpou 12345678 --eddr 19900101-00001"
             " --ku 0xC0 --eku clientAuth,emailProtection,1.2.804.2.1.1.1.3.9 --qualified --sscd"
             " --ocsp http://127.0.0.1:8888/ocsp --tsp http://127.0.0.1:8889/tsp",
         "1234567890", "12345678", "19900101-00001", 1, true, true, false,
         {"TLS Web Client Authentication", "E-mail Protection", "1.2.804.2.1.1.1.3.9"},
         {"1.3.6.1.5.5.7.3.2", "1.3.6.1.5.5.7.3.4", "1.2.804.2.1.1.1.3.9"}, 0x2 | 0x4,
         "http://127.0.0.1:8889/tsp"},
        {"codes only in the name, RSA key", "--no-dir-attrs --drfo 3333333333 --edrpou 87654321 --ku 0x08 --key rsa",
         "3333333333", "87654321", "", 2, false, false, false, {}, {}, 0, ""},
        {"expired, key encipherment", "--expired --ku 0x20 --email only@example.org", "", "", "", 2, false, false,
         false, {}, {}, 0, ""},
        {"no end, sign and agree", "--no-end --ku 0xC8 --eku timeStamping", "", "", "", 3, false, false, true,
         {"Time Stamping"}, {"1.3.6.1.5.5.7.3.8"}, 0x40, ""},
        {"data encipherment only", "--ku 0x10 --qualified", "", "", "", 2, true, false, false, {}, {}, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string name = "u" + std::to_string(&c - cases);
        std::string keyId = pki.User(name, "ca", c.options);
        ProviderCertInfo info;
        std::vector<std::string> eku;
        ASSERT_EQ(Describe(pki.path(name + ".cer"), info, eku), 0);
        OpensslView v = View(pki.path(name + ".pem"));

        EXPECT_EQ(Field(info.SN), v.serial);
        EXPECT_EQ(Field(info.Serial), v.keyId);
        EXPECT_EQ(Field(info.Serial), keyId);
        EXPECT_EQ(Field(info.Name), Attr(v.subject, "commonName"));
        EXPECT_EQ(Field(info.OrgNm), Attr(v.subject, "organizationName"));
        EXPECT_EQ(Field(info.UnitName), Attr(v.subject, "organizationalUnitName"));
        EXPECT_EQ(Field(info.Title), Attr(v.subject, "title"));
        EXPECT_EQ(Field(info.Obl), Attr(v.subject, "stateOrProvinceName"));
        EXPECT_EQ(Field(info.Rayon), Attr(v.subject, "localityName"));
        EXPECT_EQ(Field(info.Adres), Attr(v.subject, "streetAddress"));
        EXPECT_EQ(Field(info.PostalCode), Attr(v.subject, "postalCode"));
        EXPECT_EQ(Field(info.Tel), Attr(v.subject, "telephoneNumber"));
        EXPECT_EQ(Field(info.Email), Attr(v.subject, "emailAddress"));
        EXPECT_EQ(Field(info.Issuer), Attr(v.issuer, "commonName"));
        EXPECT_EQ(Field(info.IssuerSN), Attr(v.issuer, "serialNumber"));
        // Fields of the packed record are read by value before they are compared.
        const int32_t dateBeg = info.DateBeg, dateEnd = info.DateEnd, type = info.Type;
        const uint32_t ekuBits = info.ExtKeyUsage;
        EXPECT_EQ(dateBeg, v.notBefore);
        EXPECT_EQ(dateEnd, c.noEnd ? 0 : v.notAfter);
        EXPECT_EQ(info.KeyUsage & 0xFF, v.keyUsage);
        EXPECT_EQ(Field(info.AccessOCSP), v.ocsp);
        EXPECT_EQ(eku.size(), v.eku.size());
        EXPECT_EQ(v.eku, c.eku);

        EXPECT_EQ(Field(info.DRFO), c.drfo);
        EXPECT_EQ(Field(info.EDRPOU), c.edrpou);
        EXPECT_EQ(Field(info.EDDRU), c.eddr);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(info.IsQualified != 0, c.qualified);
        EXPECT_EQ(info.IsKeyInDevice != 0, c.sscd);
        EXPECT_EQ(eku, c.ekuOids);
        EXPECT_EQ(ekuBits, c.ekuBits);
        EXPECT_EQ(Field(info.AccessTSP), c.tsp);
    }
}

TEST_F(CertInfoTest, LongTextsAreCutToTheirFields) {
    pki.Ca("ca");
    const std::string longName(100, 'N');
    pki.User("long", "ca", "--cn " + longName + " --postal 123456789012345678");
    ProviderCertInfo info;
    std::vector<std::string> eku;
    ASSERT_EQ(Describe(pki.path("long.cer"), info, eku), 0);
    EXPECT_EQ(Field(info.Name), longName.substr(0, 64));
    EXPECT_EQ(Field(info.PostalCode), "12345678901234");
}

TEST_F(CertInfoTest, BytesWithoutACertificateAreRefused) {
    pki.Ca("ca");
    pki.User("u", "ca");
    std::string der = zktest::ReadFile(pki.path("u.cer"));
    std::string pem = zktest::ReadFile(pki.path("u.pem"));
    std::string garbledPem = pem;
    garbledPem.replace(garbledPem.find('\n') + 10, 40, std::string(40, 'A'));
    const std::pair<std::string, std::string> refused[] = {
        {"empty", ""},
        {"text", "not a certificate"},
        {"truncated DER", der.substr(0, der.size() / 2)},
        {"DER with a flipped length byte", std::string(1, der[0]) + "\x85" + der.substr(2)},
        {"PEM with a garbled body", garbledPem},
    };
    for (const auto& [name, bytes] : refused) {
        ProviderCertInfo info;
        std::vector<std::string> eku;
        int rc = zk::ReadCertInfo(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), info, eku);
        EXPECT_NE(rc, 0) << name;
    }
    // A PEM certificate with text around it is still a certificate.
    std::string wrapped = "Bag Attributes\nsome text\n" + pem + "trailing garbage\n";
    ProviderCertInfo info;
    std::vector<std::string> eku;
    EXPECT_EQ(zk::ReadCertInfo(reinterpret_cast<const uint8_t*>(wrapped.data()), wrapped.size(), info, eku), 0);

    // Slot 48 reads certificates the same way.
    ProviderCertInfo slotInfo{};
    EXPECT_EQ(zk::provider::CallSlot<ZKLD_SLOT_READ_CERT>(0, reinterpret_cast<const uint8_t*>(der.data()),
                                                          static_cast<uint32_t>(der.size()), &slotInfo),
              0);
    EXPECT_EQ(Field(slotInfo.Serial), Field(info.Serial));
}

}  // namespace
