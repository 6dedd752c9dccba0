// What the service offers the provider's searches for certificates
// (discovery/CertsAtHand.h): the request's certificates first, then the
// certificate list's records the search names, then CertStorage's files; it
// stops when the provider has enough.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DiscoveryFixture.h"
#include "discovery/CertsAtHand.h"

namespace {

using Offered = std::vector<std::string>;

int Collect(void* sink, const uint8_t* data, uint32_t len) {
    static_cast<Offered*>(sink)->emplace_back(reinterpret_cast<const char*>(data), len);
    return 0;
}

int TakeOne(void* sink, const uint8_t* data, uint32_t len) {
    Collect(sink, data, len);
    return 1;
}

class CertsAtHandTest : public zktest::DiscoveryFixture {
protected:
    static Offered Offer(int32_t key, const std::string& text, ZKCertPut put = &Collect) {
        Offered out;
        zk::ProviderCertSource(key, text.c_str(), put, &out);
        return out;
    }
    std::string Bytes(const std::string& path) const { return zktest::ReadFile(path); }
};

TEST_F(CertsAtHandTest, RequestCertsThenNamedRecordsThenStorage) {
    pki.Ca("ca");
    const std::string aliceId = pki.User("alice", "ca", "--drfo 1111111111 --serial-hex 0A0B");
    pki.User("bob", "ca", "--drfo 2222222222");
    for (const std::string name : {"alice", "bob"})
        std::filesystem::copy_file(pki.path(name + ".cer"), dir.file("Cert/" + name + ".cer"));
    zktest::WriteFile(dir.file("CertStorage/root.crt"), "root bytes");
    zktest::WriteFile(dir.file("CertStorage/notes.txt"), "not a certificate file");
    const std::string alice = Bytes(pki.path("alice.cer"));
    const std::string storage = "root bytes";

    std::string lower = aliceId;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const struct {
        const char* name;
        int32_t key;
        std::string text;
        Offered expected;
    } cases[] = {
        {"key identifier", ZK_CERT_BY_KEY_ID, aliceId, {alice, storage}},
        {"key identifier in lower case", ZK_CERT_BY_KEY_ID, lower, {alice, storage}},
        {"serial number", ZK_CERT_BY_SERIAL, "0A0B", {alice, storage}},
        {"serial number with leading zeros", ZK_CERT_BY_SERIAL, "00A0B", {alice, storage}},
        {"serial number given as a key", ZK_CERT_BY_KEY_ID, "0A0B", {storage}},
        {"unknown kind", 9, aliceId, {storage}},
        {"nobody's", ZK_CERT_BY_SERIAL, "77", {storage}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        zk::CertListClear();  // a search builds the list when it is not
        EXPECT_EQ(Offer(c.key, c.text), c.expected);
    }

    // The request's certificates come first, the innermost scope's first;
    // the offer stops when the provider has enough.
    const std::vector<uint8_t> outerCert = {'o'}, innerCert = {'i', '1'}, innerCert2 = {'i', '2'};
    {
        const zk::RequestCertsScope outer({outerCert});
        {
            const zk::RequestCertsScope inner({innerCert, innerCert2});
            EXPECT_EQ(Offer(ZK_CERT_BY_SERIAL, "0A0B"), (Offered{"i1", "i2", "o", alice, storage}));
            EXPECT_EQ(Offer(ZK_CERT_BY_SERIAL, "0A0B", &TakeOne), (Offered{"i1"}));
        }
        EXPECT_EQ(Offer(ZK_CERT_BY_SERIAL, "77"), (Offered{"o", storage}));
    }
    EXPECT_EQ(Offer(ZK_CERT_BY_SERIAL, "77"), (Offered{storage}));
}

}  // namespace
