#include <gtest/gtest.h>

#include "../unit/TestUtil.h"
#include "base/Log.h"
#include "platform/CodePage.h"
#include "provider/Provider.h"

namespace {

std::string Fixture(const std::string& name) { return std::string(ZK_TEST_FIXTURE_DIR) + "/lib" + name + ".so"; }

class ProviderLoadTest : public ::testing::Test {
protected:
    void TearDown() override {
        zk::provider::UnloadProvider();
        zk::log::Stop();
    }
    // Loads and returns the UTF-8 error text ("" on success).
    std::string Load(const std::string& library, const std::string& params = "", int* rc = nullptr) {
        std::string error;
        zk::provider::LoadOptions options;
        options.libraryName = library;
        options.paramsPath = params.empty() ? dir.file("ZelkorH.ini") : params;
        int result = zk::provider::LoadProvider(error, options);
        if (rc) *rc = result;
        EXPECT_EQ(result == 0, error.empty());
        return zk::Cp1251ToUtf8(error);
    }
    std::string Ini(const std::string& text) {
        std::string path = dir.file("ZelkorH.ini");
        zktest::WriteFile(path, text);
        return path;
    }
    zktest::TempDir dir;
};

TEST_F(ProviderLoadTest, FailureTextsOfFakeProviders) {
    const std::pair<std::string, std::string> cases[] = {
        {dir.file("libAbsent.so"), "Помилка завантаження ZelkorD.dll"},
        {Fixture("fake_no_methods"), "Неможливо завантажити бібліотеку 'Cannot load ZelkorD'"},
        {Fixture("fake_slot0_code1_empty"), "Неможливо завантажити бібліотеку '?\?\?'"},
        {Fixture("fake_slot0_code5"), "Не визначено секцію 'CryptoLibs' в файлі параметрів"},
        {Fixture("fake_slot0_code42"), "Код помилки: 42"},
    };
    for (const auto& [library, text] : cases) {
        int rc = 0;
        EXPECT_EQ(Load(library, "", &rc), text) << library;
        EXPECT_EQ(rc, 1);
        // Nothing may be called through a failed binding.
        EXPECT_EQ(zk::provider::Call<&zk::provider::Exports::ZKLCTX_GetRandomBlock>(nullptr, 0u),
                  zk::provider::kMissingOperation);
        zk::provider::UnloadProvider();
    }
}

TEST_F(ProviderLoadTest, CountStopsAtTheFirstUnusedEntry) {
    EXPECT_EQ(Load(Fixture("fake_table_gap")), "");
    EXPECT_EQ(zk::provider::Get().libCount, 3);
    // Operations a provider does not offer (this one fills slot 0 only) answer the missing-operation code.
    EXPECT_EQ(zk::provider::CallSlot<ZKLD_SLOT_SIGN>(0, nullptr, 0u, nullptr, nullptr, nullptr, ZKKeyLen{0}, nullptr,
                                                     0u, ""),
              zk::provider::kMissingOperation);
    EXPECT_EQ(zk::provider::LoadCodeText(7, "X"),
              zk::Utf8ToCp1251("Бібліотека 'X' не експортує всі необхідні функції згідно специфікації"));
}

TEST_F(ProviderLoadTest, StandInLoadsTheDefaultLibraries) {
    Ini("[CryptoLibs]\nUSC=USC\nQLB=QLB\nUA1=UA1\n[UA1]\nSenderCertHeader=1\nTitle=Третя\n");
    ASSERT_EQ(Load(ZK_PROVIDER_PATH), "");
    const auto& b = zk::provider::Get();
    EXPECT_EQ(b.libCount, 3);
    EXPECT_STREQ(b.table[2].Code, "UA1");
    EXPECT_EQ(b.table[2].NeedsSenderCert, 1);
    EXPECT_EQ(b.table[0].NeedsSenderCert, 0);
    EXPECT_EQ(b.table[3].NeedsSenderCert, 1) << "unused entries keep the value set before initialisation";
    EXPECT_STREQ(b.table[2].Title, "Третя");
    const void* module = b.table[0].Module;  // packed record: copy before comparing
    EXPECT_NE(module, nullptr);
    EXPECT_TRUE(zk::provider::IsLibraryLoaded("QLB"));
    EXPECT_FALSE(zk::provider::IsLibraryLoaded("XYZ"));
    EXPECT_EQ(zk::provider::SelectLibrary("UA1"), 2);
    EXPECT_EQ(zk::provider::SelectLibrary("XYZ"), -1);
    EXPECT_EQ(zk::provider::LibraryIdentityByIndex(1), zk::provider::LibraryIdentityByCode("QLB"));
    EXPECT_NE(zk::provider::LibraryIdentityByIndex(0), zk::provider::LibraryIdentityByCode("QLB"));
    // A key on a token that is not connected: a token error, not a missing operation.
    EXPECT_EQ(zk::provider::CallSlot<ZKLD_SLOT_SIGN>(0, nullptr, 0u, nullptr, nullptr, nullptr, ZKKeyLen{0}, nullptr,
                                                     0u, ""),
              ZK_E_DONGLE);
}

TEST_F(ProviderLoadTest, StandInLoadCodes) {
    std::string module = Fixture("fake_module_ok"), bare = Fixture("fake_module_bare");
    std::string missingCert = dir.file("absent.cer");
    struct Case {
        std::string ini;
        std::string text;
    };
    const Case cases[] = {
        {"[Other]\nX=1\n", "Не визначено секцію 'CryptoLibs' в файлі параметрів"},
        {"[CryptoLibs]\nUSC=USC\nXYZ=XYZ\n", "Неможливо завантажити бібліотеку 'XYZ'"},
        {"[CryptoLibs]\nMOD=MOD\n[MOD]\nModule=" + dir.file("libnone.so") + "\n", "Неможливо завантажити бібліотеку 'MOD'"},
        {"[CryptoLibs]\nMOD=MOD\n[MOD]\nModule=" + bare + "\n",
         "Бібліотека 'MOD' не експортує всі необхідні функції згідно специфікації"},
        {"[CryptoLibs]\nQLB=QLB\n[QLB]\nCert=" + missingCert + "\n",
         "Неможливо завантажити сертифікат для бібліотеки 'QLB'"},
        {"[CryptoLibs]\nQLB=QLB\n[QLB]\nKey=" + dir.file("k.pem") + "\n",
         "Не визначений пароль секретного ключа для бібліотеки 'QLB'"},
        {"[CryptoLibs]\nQLB=QLB\n[QLB]\nKey=" + dir.file("k.pem") + "\nKeyPass=x\n",
         "Неможливо завантажити секретний ключ для бібліотеки 'QLB'"},
    };
    for (const auto& c : cases) {
        int rc = 0;
        EXPECT_EQ(Load(ZK_PROVIDER_PATH, Ini(c.ini), &rc), c.text) << c.ini;
        EXPECT_EQ(rc, 1);
        zk::provider::UnloadProvider();
    }
    // A separately supplied library module that exports what is required loads.
    EXPECT_EQ(Load(ZK_PROVIDER_PATH, Ini("[CryptoLibs]\nMOD=MOD\n[MOD]\nModule=" + module + "\n")), "");
    EXPECT_EQ(zk::provider::Get().libCount, 1);
}

// Nothing thrown inside the provider crosses its C boundary: each operation
// that throws answers a provider error code and records why as the last error.
TEST_F(ProviderLoadTest, OperationsThatThrowAnswerAProviderError) {
    using zk::provider::Call;
    using zk::provider::Exports;
    ASSERT_EQ(Load(Fixture("fake_throwing")), "");
    uint8_t block[16] = {};
    EXPECT_EQ(Call<&Exports::ZKLCTX_GetRandomBlock>(block, 16u), ZK_E_PROVIDER_NOT_SUPPORTED);
    EXPECT_EQ(zk::provider::LastErrorCode(), ZK_E_PROVIDER_NOT_SUPPORTED);
    EXPECT_EQ(zk::provider::LastErrorMessage(), "internal failure: out of memory");
    uint8_t hash[32];
    const zk::provider::ByteView blockView(block);
    EXPECT_EQ(zk::provider::Invoke<ZK_METHOD(ZKLD_SLOT_HASH)>({}, 0, blockView, hash, 0, 0), ZK_E_PROVIDER_NOT_SUPPORTED);
    EXPECT_EQ(zk::provider::LastErrorMessage(), "internal failure: hash engine gone");
    ProviderCertInfo info{};
    EXPECT_EQ(zk::provider::Invoke<ZK_EXPORT(ZKLCTX_GetCertInfo)>({}, blockView, &info), ZK_E_PROVIDER_NOT_SUPPORTED);
    EXPECT_EQ(zk::provider::LastErrorMessage(), "internal failure: unknown failure");
    EXPECT_EQ(zk::provider::Get().exports.ZKLDongles_TokenOID(nullptr), nullptr);
    EXPECT_EQ(zk::provider::LastErrorMessage(), "internal failure: no token");
    // An export without an implementation answers "not offered" and records nothing.
    zk::provider::ResetLastError();
    int32_t count = 0;
    EXPECT_EQ(Call<&Exports::ZKLCTX_Verify>(block, 16u, nullptr, &count), zk::provider::kMissingOperation);
    EXPECT_EQ(zk::provider::LastErrorCode(), 0);
}

// A call never cuts a length to 32 bits: a larger input is refused with a
// code before the provider sees it, between the caller's log lines named
// after the operation of the contract.
TEST_F(ProviderLoadTest, FacadeRefusesInputsBeyondThirtyTwoBits) {
    Ini("[CryptoLibs]\nUSC=USC\n");
    ASSERT_EQ(Load(ZK_PROVIDER_PATH), "");
    zk::log::Start(dir.str(), true);
    static uint8_t byte = 0;
    const zk::provider::ByteView huge(&byte, size_t{1} << 32);  // never read: refused first
    uint8_t hash[32];
    EXPECT_EQ(zk::provider::Invoke<ZK_METHOD(ZKLD_SLOT_HASH)>(ZK_SITE("HugeCaller"), 0, huge, hash, 0, 0),
              zk::provider::kInputTooLarge);
    zk::provider::Output out;
    const zk::provider::KeyRef key;
    EXPECT_EQ(zk::provider::Invoke<ZK_METHOD(ZKLD_SLOT_SIGN)>({}, 0, huge, out, key, zk::provider::ByteView(), ""),
              zk::provider::kInputTooLarge);
    EXPECT_TRUE(out.empty());
    ProviderCertInfo info{};
    EXPECT_EQ(zk::provider::Invoke<ZK_EXPORT(ZKLCTX_GetCertInfo)>({}, huge, &info), zk::provider::kInputTooLarge);
    zk::log::Stop();
    std::string log = zktest::ReadFile(dir.file("ZelkorH.log"));
    EXPECT_NE(log.find("HugeCaller, test_provider_load, "), std::string::npos) << log;
    EXPECT_NE(log.find("\t- Before Hash\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\t- After Hash, Return: 56\r\n"), std::string::npos) << log;
}

TEST_F(ProviderLoadTest, ThreadHooksAndLogCallback) {
    Ini("[CryptoLibs]\nUSC=USC\n");
    ASSERT_EQ(Load(ZK_PROVIDER_PATH), "");
    zk::log::Start(dir.str(), true);  // hands the callback over
    zk::provider::ProviderThreadAttach();
    zk::provider::ProviderThreadDetach();
    zk::provider::UnloadProvider();  // the provider library logs its end
    zk::log::Stop();
    std::string log = zktest::ReadFile(dir.file("ZelkorH.log"));
    EXPECT_NE(log.find("\t- ZelkorD: Library stopped\r\n"), std::string::npos) << log;
}

}  // namespace
