// The provider's envelope and block slots called directly: the sizing call's
// bound against what is written, the recipient and key faults, the kinds
// slot 5 tells, and the text forms slot 22 unwraps. Envelopes are checked by
// the openssl command line as well.
#include <cstring>
#include <map>

#include "../unit/DiscoveryFixture.h"
#include "ProviderBytes.h"
#include "commands/protected/TransportHeaders.h"
#include "provider/Operations.h"

namespace {

using zk::provider::CallSlot;
using namespace zktest;  // fixtures, shell helpers and the byte helpers of ProviderBytes.h


class EnvelopeSlots : public zktest::DiscoveryFixture {
protected:
    void SetUp() override {
        DiscoveryFixture::SetUp();
        pki.Ca("ca");
        pki.User("sender", "ca");
        pki.User("ec", "ca", "--ku 0x08");
        pki.User("rsa", "ca", "--key rsa --ku 0x20");
        pki.User("sign", "ca", "--ku 0xC0");
        pki.KeyFile(pki.path("sender.pfx"), "p12", "1234", "sender");
        pki.KeyFile(pki.path("rsa.key"), "p8pem", "1234", "rsa");
        pki.KeyFile(pki.path("two.pfx"), "p12", "1234", "sign", "ec");  // a signing and a key-agreement key
        for (const char* name : {"sender", "ec", "rsa", "sign"}) cert[name] = zktest::ReadFile(pki.path(std::string(name) + ".cer"));
        senderKey = zktest::ReadFile(pki.path("sender.pfx"));
        for (const char* code : {"USC", "QLB", "UA1"}) lib[code] = zk::provider::SelectLibrary(code);
    }

    // Slot 49 as the host calls it; the bound of the sizing call comes back too.
    int Encrypt(const std::string& code, const Bytes& data, const std::vector<Bytes>& to, Bytes& out,
                uint32_t* bound = nullptr) {
        std::vector<ZKBlob> blobs;
        for (const Bytes& r : to) blobs.push_back(Blob(r));
        uint32_t len = 0;
        auto call = [&](uint8_t* buffer, uint32_t* outLen) {
            return CallSlot<ZKLD_SLOT_ENCRYPT_MANY>(lib[code], U(data), L(data), buffer, outLen, blobs.data(),
                                                     static_cast<int32_t>(blobs.size()), U(senderKey),
                                                     ZKKeyLen{L(senderKey)}, U(cert["sender"]), L(cert["sender"]),
                                                     "1234", -1);
        };
        if (int rc = call(nullptr, &len)) return rc;
        if (bound) *bound = len;
        out.assign(len, '\0');
        int rc = call(reinterpret_cast<uint8_t*>(out.data()), &len);
        out.resize(rc == 0 ? len : 0);
        return rc;
    }

    int Decrypt(const Bytes& block, const Bytes& recipient, const Bytes& key, Bytes& out, const char* pass = "1234",
                int32_t library = -2) {
        uint32_t len = 0;
        auto call = [&](uint8_t* buffer, uint32_t* outLen) {
            return CallSlot<ZKLD_SLOT_DECRYPT>(library == -2 ? lib["UA1"] : library, U(block), L(block), buffer,
                                               outLen, nullptr, 0, U(recipient), L(recipient),
                                               key.empty() ? nullptr : U(key), ZKKeyLen{L(key)}, pass);
        };
        if (int rc = call(nullptr, &len)) return rc;
        out.assign(len, '\0');
        int rc = call(reinterpret_cast<uint8_t*>(out.data()), &len);
        out.resize(rc == 0 ? len : 0);
        return rc;
    }

    // The EnvelopedData of a library's frame.
    static Bytes Bare(const Bytes& block) {
        if (block.rfind("USC_CRYPT", 0) != 0 && block.rfind("QLB_CRYPT", 0) != 0) return block;
        uint32_t n = 0;
        std::memcpy(&n, block.data() + 10, 4);
        return block.substr(14 + n);
    }

    bool OpensslOpens(const Bytes& envelope, const std::string& who, const std::string& key, const Bytes& content) {
        zktest::WriteFile(dir.file("env.der"), envelope);
        std::string out;
        const int rc = RunCommand("openssl cms -decrypt -binary -inform DER -in " + ShellQuote(dir.file("env.der")) +
                                      " -recip " + ShellQuote(pki.path(who + ".pem")) + " -inkey " +
                                      ShellQuote(key) + " -passin pass:1234 2>/dev/null",
                                  &out);
        return rc == 0 && out == content;
    }

    std::map<std::string, Bytes> cert;
    std::map<std::string, int> lib;
    Bytes senderKey;
};

// A container-family envelope built in the document's own memory: it opens
// for every recipient (with openssl), it starts where the document started
// when the room holds it (else it has memory of its own), and no byte of
// the plaintext is left anywhere in that memory.
TEST_F(EnvelopeSlots, ContainerEnvelopeIsBuiltOverTheDocument) {
    const Bytes marker = "PLAINTEXT-MARKER";
    for (size_t size : {1u, 17u, 5000u, 300001u}) {
        for (bool roomy : {false, true}) {
            SCOPED_TRACE(std::to_string(size) + (roomy ? " with room" : " without room"));
            Bytes data;
            while (data.size() < size) data += marker;
            data.resize(size);
            const size_t room = roomy ? size + (64 << 10) : size;
            auto memory = std::make_shared<Bytes>(room, 'r');
            memory->replace(0, size, data);
            auto* start = reinterpret_cast<uint8_t*>(memory->data());
            zk::SharedBytes document(memory, start, size, room), envelope;
            const zk::provider::SignerRef sender{V(cert["sender"]), zk::provider::KeyRef{V(senderKey), 0}, "1234"};
            ASSERT_EQ(zk::provider::CtxEncryptDataInPlace({}, document, sender, {V(cert["ec"]), V(cert["rsa"])}, envelope),
                      0);
            EXPECT_TRUE(document.empty());
            EXPECT_EQ(envelope.data() == start, roomy);
            const Bytes built(reinterpret_cast<const char*>(envelope.data()), envelope.size());
            EXPECT_TRUE(OpensslOpens(built, "ec", pki.path("ec.key.pem"), data));
            EXPECT_TRUE(OpensslOpens(built, "rsa", pki.path("rsa.key.pem"), data));
            if (size >= marker.size()) {
                EXPECT_EQ(memory->find(marker), Bytes::npos) << "the plaintext is gone from its memory";
            }
        }
    }
}

// Every document size and recipient mix: the sizing call bounds the envelope,
// each recipient opens it (here and with openssl), and the frames differ by library.
TEST_F(EnvelopeSlots, SizingBoundsAndEveryRecipientOpens) {
    const std::vector<std::vector<std::string>> mixes = {{"ec"}, {"rsa"}, {"ec", "rsa"}};
    for (const std::string code : {"UA1", "USC", "QLB"}) {
        for (size_t size : {0u, 1u, 15u, 16u, 17u, 5000u}) {
            for (const auto& mix : mixes) {
                SCOPED_TRACE(code + " " + std::to_string(size) + " bytes for " + mix[0] + (mix.size() > 1 ? "+rsa" : ""));
                const Bytes data(size, 'd');
                std::vector<Bytes> to;
                for (const auto& m : mix) to.push_back(cert[m]);
                Bytes block;
                uint32_t bound = 0;
                ASSERT_EQ(Encrypt(code, data, to, block, &bound), 0);
                EXPECT_LE(block.size(), bound);
                EXPECT_EQ(block.rfind(code + "_CRYPT", 0) == 0, code != "UA1");
                for (const auto& m : mix) {
                    Bytes plain;
                    const Bytes key = zktest::ReadFile(pki.path(m == "ec" ? "two.pfx" : "rsa.key"));
                    ASSERT_EQ(Decrypt(block, cert[m], key, plain), 0) << m;
                    EXPECT_EQ(plain, data);
                }
                if (size == 5000) {
                    EXPECT_TRUE(OpensslOpens(Bare(block), mix[0], pki.path(mix[0] + ".key.pem"), data));
                }
            }
        }
    }
}

TEST_F(EnvelopeSlots, FaultsGiveCodesNeverPlaintext) {
    const Bytes data(300, 'p');
    Bytes block, plain;
    ASSERT_EQ(Encrypt("UA1", data, {cert["ec"]}, block), 0);
    const Bytes twoKeys = zktest::ReadFile(pki.path("two.pfx"));
    const Bytes rsaKey = zktest::ReadFile(pki.path("rsa.key"));
    Bytes damaged = block;
    damaged[damaged.size() - 17] ^= 1;  // the padding of the last block
    Bytes signedData;
    {
        uint32_t len = 0;
        ASSERT_EQ(CallSlot<ZKLD_SLOT_SIGN>(lib["UA1"], U(data), L(data), nullptr, &len, U(senderKey),
                                           ZKKeyLen{L(senderKey)}, U(cert["sender"]), L(cert["sender"]), "1234"),
                  0);
        signedData.assign(len, '\0');
        ASSERT_EQ(CallSlot<ZKLD_SLOT_SIGN>(lib["UA1"], U(data), L(data), reinterpret_cast<uint8_t*>(signedData.data()),
                                           &len, U(senderKey), ZKKeyLen{L(senderKey)}, U(cert["sender"]),
                                           L(cert["sender"]), "1234"),
                  0);
        signedData.resize(len);
    }
    struct Case {
        const char* name;
        Bytes block, recipient, key;
        const char* pass;
        int code;
    };
    const Case cases[] = {
        {"a certificate the envelope is not for", block, cert["rsa"], rsaKey, "1234", ZK_E_KEY_MISMATCH},
        {"the key file of another certificate", block, cert["ec"], rsaKey, "1234", ZK_E_KEY_MISMATCH},
        {"the signing certificate of the two-key file", block, cert["sign"], twoKeys, "1234", ZK_E_KEY_MISMATCH},
        {"a wrong password", block, cert["ec"], twoKeys, "4321", ZK_E_SIGN_OR_PASSWORD},
        {"a token key that is not connected", block, cert["ec"], "", "1234", ZK_E_DONGLE},
        {"changed padding", damaged, cert["ec"], twoKeys, "1234", ZK_E_INTEGRITY},
        {"cut short", block.substr(0, block.size() - 40), cert["ec"], twoKeys, "1234", ZK_E_DAMAGED},
        {"signed data", signedData, cert["ec"], twoKeys, "1234", ZK_E_BAD_FILE_FORMAT},
        {"a recipient certificate that is garbage", block, "garbage", twoKeys, "1234", ZK_E_CERT_INFO},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Decrypt(c.block, c.recipient, c.key, plain, c.pass), c.code) << c.name;
        EXPECT_TRUE(plain.empty()) << c.name;
    }
    EXPECT_EQ(Decrypt(block, cert["ec"], twoKeys, plain, "1234", 42), ZK_E_PROVIDER_NOT_SUPPORTED);
}

TEST_F(EnvelopeSlots, RecipientsAsTheEnvelopeNamesThem) {
    Bytes block;
    ASSERT_EQ(Encrypt("QLB", "x", {cert["rsa"], cert["ec"]}, block), 0);
    int32_t count = 0;
    ASSERT_EQ(CallSlot<ZKLD_SLOT_RECIPIENT_INFOS>(U(block), L(block), nullptr, &count), 0);
    ASSERT_EQ(count, 2);
    std::vector<ProviderCertInfo> infos(2);
    ASSERT_EQ(CallSlot<ZKLD_SLOT_RECIPIENT_INFOS>(U(block), L(block), infos.data(), &count), 0);
    EXPECT_STREQ(infos[0].SubjectCN, "rsa");  // the page's order, though DER sorts the set
    EXPECT_STREQ(infos[1].SubjectCN, "ec");

    std::vector<Bytes> room(2, Bytes(ZK_KEY_BUFFER_SIZE, '\0'));
    std::vector<ZKBlob> blobs = {Blob(room[0]), Blob(room[1])};
    count = 2;
    ASSERT_EQ(CallSlot<ZKLD_SLOT_RECIPIENT_CERTS>(U(block), L(block), blobs.data(), &count), 0);
    EXPECT_EQ(room[0].substr(0, blobs[0].length), cert["rsa"]);
    EXPECT_EQ(room[1].substr(0, blobs[1].length), cert["ec"]);

    // An envelope without certificates: slot 50 has none, slot 53 the identifiers.
    zktest::WriteFile(dir.file("in.txt"), "x");
    ASSERT_EQ(RunCommand("openssl cms -encrypt -binary -aes256 -outform DER -in " + ShellQuote(dir.file("in.txt")) +
                         " -out " + ShellQuote(dir.file("bare.der")) + " -keyid -recip " +
                         ShellQuote(pki.path("ec.pem"))),
              0);
    const Bytes bare = zktest::ReadFile(dir.file("bare.der"));
    count = 0;
    EXPECT_EQ(CallSlot<ZKLD_SLOT_RECIPIENT_CERTS>(U(bare), L(bare), nullptr, &count), ZK_E_NO_CERT_FILE);
    ProviderCertInfo info{};
    count = 1;
    ASSERT_EQ(CallSlot<ZKLD_SLOT_RECIPIENT_INFOS>(U(bare), L(bare), &info, &count), 0);
    zk::CertRecord record;
    std::string code;
    ASSERT_EQ(zk::GetCertFlInfo(U(cert["ec"]), cert["ec"].size(), "", record, code), 0);
    EXPECT_EQ(std::string(info.Serial), record.Serial);
    EXPECT_STREQ(info.SubjectCN, "");
}

TEST_F(EnvelopeSlots, KindsAndTextForms) {
    Bytes ua1, usc;
    ASSERT_EQ(Encrypt("UA1", "x", {cert["ec"]}, ua1), 0);
    ASSERT_EQ(Encrypt("USC", "x", {cert["ec"]}, usc), 0);
    zktest::WriteFile(dir.file("env.der"), ua1);
    Bytes base64;
    ASSERT_EQ(RunCommand("base64 " + ShellQuote(dir.file("env.der")), &base64), 0);
    const Bytes pem = "-----BEGIN CMS-----\r\n" + base64 + "-----END CMS-----\r\n";
    struct Case {
        const char* name;
        Bytes block;
        int type;
        const char* lib;
    };
    const Case cases[] = {
        {"bare envelope", ua1, ZK_BLOCK_ENVELOPE, "UA1"},
        {"USC frame", usc, ZK_BLOCK_ENVELOPE, "USC"},
        {"an envelope cut short is still one", ua1.substr(0, 30), ZK_BLOCK_ENVELOPE, "UA1"},
        {"PEM", pem, ZK_BLOCK_PEM, "UA1"},
        {"Base64 text", base64, ZK_BLOCK_BASE64, "UA1"},
        {"plain text that is Base64", "SGVsbG8gd29ybGQsIGhlbGxvIHdvcmxkIQ==", 0, nullptr},
        {"XML", "<?xml version=\"1.0\"?><a/>", 0, nullptr},
        {"a transport header is the host's", Bytes("TRANSPORTABLE\0\0\0\0\0", 18), 0, nullptr},
    };
    for (const Case& c : cases) {
        int32_t index = -5;
        EXPECT_EQ(CallSlot<ZKLD_SLOT_DETECT_BLOCK>(U(c.block), L(c.block), &index), c.type) << c.name;
        EXPECT_EQ(index, c.lib ? lib[c.lib] : -1) << c.name;
    }
    for (const Bytes& text : {Bytes(pem), base64}) {
        Bytes copy = text;
        uint32_t len = L(copy);
        ASSERT_EQ(CallSlot<ZKLD_SLOT_UNWRAP>(reinterpret_cast<uint8_t*>(copy.data()), &len), 0);
        EXPECT_EQ(copy.substr(0, len), ua1);
    }
    Bytes broken = base64;
    broken[10] = '*';
    uint32_t len = L(broken);
    EXPECT_EQ(CallSlot<ZKLD_SLOT_UNWRAP>(reinterpret_cast<uint8_t*>(broken.data()), &len), ZK_E_BAD_FILE_FORMAT);
    Bytes padded = base64;
    padded.insert(8, "=");
    len = L(padded);
    EXPECT_EQ(CallSlot<ZKLD_SLOT_UNWRAP>(reinterpret_cast<uint8_t*>(padded.data()), &len), ZK_E_DAMAGED);
}

}  // namespace

namespace {

// The sender's library found from a "CERTCRYPT" header: the class of the
// certificate's issuer (through the parsing library), 0 when unreadable.
TEST_F(EnvelopeSlots, SenderLibraryOfTheCertificateHeader) {
    pki.Ca("other", "--serial UA-14360570");  // class 7: served by UA1
    pki.User("elsewhere", "other");
    const struct {
        const char* name;
        Bytes cert;
        int library;
    } cases[] = {
        {"issuer of class 9", cert["sender"], zk::provider::LibraryIdentityByCode("QLB")},
        {"issuer of class 7", zktest::ReadFile(pki.path("elsewhere.cer")), zk::provider::LibraryIdentityByCode("UA1")},
        {"not a certificate", "garbage", 0},
    };
    for (const auto& c : cases) {
        const std::vector<uint8_t> block = zk::CertCryptHeader(std::vector<uint8_t>(c.cert.begin(), c.cert.end()));
        zk::ByteSpan cursor = block, body;
        int library = -7;
        ASSERT_EQ(zk::ReadCertCrypt(cursor, body, &library), 0) << c.name;
        EXPECT_EQ(library, c.library) << c.name;
    }
}

}  // namespace
