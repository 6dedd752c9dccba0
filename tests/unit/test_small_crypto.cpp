// GET_RANDOM, SYMMETRIC and CHECK_EXTERNAL_SIGN through the dispatcher, with
// the provider library's results checked against OpenSSL and the openssl CLI.
#include <openssl/evp.h>

#include <cstdlib>

#include "CommandFixture.h"
#include "base/CBase64.h"

namespace {

using zktest::Answer;

class SmallCryptoTest : public zktest::CommandFixture {
protected:
    std::optional<Answer> Symmetric(const std::string& dir, const std::string& key, const std::string& data,
                                    const std::string& seed = "") {
        std::string params = "<DIR>" + dir + "</DIR><KEY>" + zk::Base64Encode(key) + "</KEY>";
        if (!seed.empty()) params += "<SEED>" + seed + "</SEED>";
        return Command("SYMMETRIC", params, zk::Base64Encode(data));
    }
    static std::string Sha256(const std::string& bytes) {
        unsigned char out[32];
        unsigned int n = 0;
        EVP_Digest(bytes.data(), bytes.size(), out, &n, EVP_sha256(), nullptr);
        return std::string(reinterpret_cast<char*>(out), n);
    }
    // AES-256-GCM with the layout nonce(12) || ciphertext || tag(16).
    static std::optional<std::string> OpenGcm(const std::string& sealed, const std::string& aesKey) {
        if (sealed.size() < 28) return std::nullopt;
        const auto* p = reinterpret_cast<const unsigned char*>(sealed.data());
        std::string plain(sealed.size() - 28, '\0');
        EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
        int n = 0, tail = 0;
        bool ok = EVP_DecryptInit_ex(c, EVP_aes_256_gcm(), nullptr,
                                     reinterpret_cast<const unsigned char*>(aesKey.data()), p) == 1 &&
                  EVP_DecryptUpdate(c, reinterpret_cast<unsigned char*>(plain.data()), &n, p + 12,
                                    static_cast<int>(plain.size())) == 1 &&
                  EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_AEAD_SET_TAG, 16, const_cast<unsigned char*>(p + sealed.size() - 16)) == 1 &&
                  EVP_DecryptFinal_ex(c, reinterpret_cast<unsigned char*>(plain.data()) + n, &tail) == 1;
        EVP_CIPHER_CTX_free(c);
        return ok ? std::optional<std::string>(plain) : std::nullopt;
    }
    static std::string Decoded(const Answer& a) { return zk::Base64DecodeToString(a.At("Data")); }
};

TEST_F(SmallCryptoTest, RandomLengthBounds) {
    const std::string refused[] = {"0", "65537", "-1", "abc", "12abc", "", "99999999999999999999"};
    for (const auto& length : refused) EXPECT_FALSE(Command("GET_RANDOM", "<Length>" + length + "</Length>")) << length;
    EXPECT_FALSE(Command("GET_RANDOM", "<Other>5</Other>")) << "absent means 0";
    EXPECT_FALSE(Command("GET_RANDOM", "")) << "Params are required";

    std::string previous;
    for (const std::string length : {"1", " 32 ", "65536"}) {
        // The later Length wins.
        auto a = Command("GET_RANDOM", "<Length>7</Length><Length>" + length + "</Length>");
        ASSERT_TRUE(a) << length;
        ASSERT_EQ(a->Code(), 0) << a->text;
        EXPECT_EQ(Decoded(*a).size(), std::stoul(length));
        EXPECT_NE(Decoded(*a), previous);
        previous = Decoded(*a);
    }
}

TEST_F(SmallCryptoTest, SymmetricRoundTrips) {
    const std::string plain = "Документ для шифрування \x01\x02\xff";
    const std::string key = "page key";
    const std::string seed = "seed bytes";
    struct Case {
        const char* name;
        std::string seedParam;   // as sent
        std::string aesKey;      // what the data must open with
    };
    const Case cases[] = {
        {"without seed", "", Sha256(key)},
        {"with seed", zk::Base64Encode(seed), Sha256(Sha256(seed + key))},
        {"seed that decodes to nothing", "==", Sha256(key)},
    };
    for (const auto& c : cases) {
        auto sealed = Symmetric("1", key, plain, c.seedParam);
        ASSERT_TRUE(sealed) << c.name;
        ASSERT_EQ(sealed->Code(), 0) << c.name << sealed->text;
        const std::string cipher = Decoded(*sealed);
        EXPECT_EQ(cipher.size(), plain.size() + 28);
        EXPECT_EQ(OpenGcm(cipher, c.aesKey), plain) << c.name;
        auto opened = Symmetric("0", key, cipher, c.seedParam);
        ASSERT_EQ(opened->Code(), 0) << c.name;
        EXPECT_EQ(Decoded(*opened), plain) << c.name;
    }
    // A fresh nonce every time.
    EXPECT_NE(Decoded(*Symmetric("1", key, plain)), Decoded(*Symmetric("1", key, plain)));
}

TEST_F(SmallCryptoTest, SymmetricRefusesDamageAndBadParameters) {
    std::string cipher = Decoded(*Symmetric("1", "k", "some data"));
    const std::pair<std::string, std::string> damaged[] = {
        {"flipped byte", std::string(cipher).replace(14, 1, 1, static_cast<char>(cipher[14] ^ 1))},
        {"cut short", cipher.substr(0, 20)},
    };
    for (const auto& [name, bytes] : damaged) {
        auto a = Symmetric("0", "k", bytes);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->Code(), 13) << name;
        EXPECT_EQ(a->At("Data"), "");
    }
    EXPECT_EQ(Symmetric("0", "other key", cipher)->Code(), 13);

    const std::string data = zk::Base64Encode("x");
    const std::string key = "<KEY>" + zk::Base64Encode("k") + "</KEY>";
    EXPECT_FALSE(Command("SYMMETRIC", key, data)) << "no DIR";
    EXPECT_FALSE(Command("SYMMETRIC", "<DIR>2</DIR>" + key, data));
    EXPECT_FALSE(Command("SYMMETRIC", "<DIR></DIR>" + key, data));
    EXPECT_FALSE(Command("SYMMETRIC", "<DIR>1</DIR>", data)) << "no KEY";
    EXPECT_FALSE(Command("SYMMETRIC", "<DIR>1</DIR><KEY></KEY>", data));
    EXPECT_FALSE(Command("SYMMETRIC", "<DIR>1</DIR>" + key)) << "no Data";
    EXPECT_FALSE(Command("SYMMETRIC", "", data)) << "no Params";
    // DIR only has to begin with the digit.
    EXPECT_EQ(Command("SYMMETRIC", "<DIR>1x</DIR>" + key, data)->Code(), 0);
}

class ExternalSignTest : public SmallCryptoTest {
protected:
    void SetUp() override {
        SmallCryptoTest::SetUp();
        const std::string pki = dir.file("pki");
        Run("'" + std::string(ZK_ZKPKI_PATH) + "' ca --out '" + pki + "' --name ca >/dev/null");
        Run("'" + std::string(ZK_ZKPKI_PATH) + "' user --out '" + pki + "' --name signer --ca '" + pki +
            "/ca' --cn 'Підписувач' >/dev/null");
        zktest::WriteFile(dir.file("doc.bin"), document);
        // Detached by default; -binary keeps the bytes as they are.
        Run("openssl cms -sign -binary -in '" + dir.file("doc.bin") + "' -signer '" + pki + "/signer.pem' -inkey '" +
            pki + "/signer.key.pem' -outform DER -out '" + dir.file("doc.p7s") + "'");
        signature = zktest::ReadFile(dir.file("doc.p7s"));
        signerDer = zktest::ReadFile(pki + "/signer.cer");
        ASSERT_FALSE(signature.empty());
        ASSERT_FALSE(signerDer.empty());
    }
    static void Run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }
    std::optional<Answer> Check(const std::string& sig, const std::string& data, const std::string& extra = "") {
        return Command("CHECK_EXTERNAL_SIGN", "<Sign>" + zk::Base64Encode(sig) + "</Sign>" + extra,
                       zk::Base64Encode(data));
    }

    const std::string document = std::string("Договір №1\r\n\0\xff binary", 22);
    std::string signature, signerDer;
};

TEST_F(ExternalSignTest, ValidSignatureAndItsSigner) {
    auto plain = Check(signature, document);
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->Code(), 0) << plain->text;
    EXPECT_EQ(plain->Find("Data")->FirstChild(), nullptr) << "without ReturnSigns the Data stays empty";

    auto withCert = Check(signature, document, "<ReturnSigns>TRUE</ReturnSigns>");
    ASSERT_EQ(withCert->Code(), 0);
    EXPECT_EQ(zk::Base64DecodeToString(withCert->At("Data/Cert")), signerDer);
}

TEST_F(ExternalSignTest, BadSignaturesGiveCodes) {
    std::string broken = signature;
    broken[broken.size() - 10] ^= 0x55;  // inside the signature value
    const std::tuple<const char*, std::string, std::string, int> cases[] = {
        {"other data", signature, document + "!", 11},
        {"damaged signature value", broken, document, 11},
        {"not a signature", "garbage bytes", document, 10},
    };
    for (const auto& [name, sig, data, code] : cases) {
        auto a = Check(sig, data, "<ReturnSigns>true</ReturnSigns>");
        ASSERT_TRUE(a) << name;
        EXPECT_EQ(a->Code(), code) << name;
        EXPECT_EQ(a->Find("Data/Cert"), nullptr) << name;
    }
    EXPECT_FALSE(Command("CHECK_EXTERNAL_SIGN", "<Sign></Sign>", zk::Base64Encode(document)));
    EXPECT_FALSE(Command("CHECK_EXTERNAL_SIGN", "<Sign>" + zk::Base64Encode(signature) + "</Sign>"));
    EXPECT_FALSE(Command("CHECK_EXTERNAL_SIGN", "", zk::Base64Encode(document)));
}

}  // namespace
