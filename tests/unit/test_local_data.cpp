// The data blob and the password slot, through the dispatcher.
#include <sys/resource.h>

#include <csignal>
#include <filesystem>

#include "CommandFixture.h"
#include "base/RequestContext.h"

namespace {

namespace fs = std::filesystem;

class LocalDataTest : public zktest::CommandFixture {
protected:
    std::string DataFile() const { return dir.file("Data/UserData.dat"); }
    size_t RegularFiles() const {
        size_t n = 0;
        for (const auto& e : fs::directory_iterator(dir.file("Data"))) n += e.is_regular_file();
        return n;
    }
};

// Lowers the file size limit of the process for one scope; writes beyond it
// fail with EFBIG instead of raising SIGXFSZ.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = signal(SIGXFSZ, SIG_IGN);
        rlimit lower = saved_;
        lower.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lower);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, previous_);
    }

private:
    rlimit saved_{};
    sighandler_t previous_ = SIG_DFL;
};

TEST_F(LocalDataTest, SaveAndLoadByteForByte) {
    // Nothing saved yet: success without text.
    auto empty = Command("LOAD_DATA", "");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->Code(), 0);
    EXPECT_EQ(empty->At("Data"), "");

    const std::string texts[] = {"plain ascii", "Дані користувача: ґєїі ЁЪ №5", "a&amp;b &lt;x&gt; \"q\""};
    const std::string stored[] = {"plain ascii", "Дані користувача: ґєїі ЁЪ №5", "a&b <x> \"q\""};
    for (size_t i = 0; i < std::size(texts); ++i) {
        auto saved = Command("SAVE_DATA", "", texts[i]);
        ASSERT_TRUE(saved);
        EXPECT_EQ(saved->Code(), 0);
        // The file holds the text as the request carried it, nothing more.
        EXPECT_EQ(zktest::ReadFile(DataFile()), stored[i]);
        auto loaded = Command("load_data", "");
        ASSERT_TRUE(loaded);
        EXPECT_EQ(loaded->Code(), 0);
        EXPECT_EQ(loaded->At("Data"), stored[i]);
    }
    EXPECT_EQ(RegularFiles(), 1u) << "no temporary file is left beside it";
}

TEST_F(LocalDataTest, EmptyDataDeletesAndTheSecondDeleteFails) {
    ASSERT_EQ(Command("SAVE_DATA", "", "x")->Code(), 0);
    auto first = Command("SAVE_DATA", "");  // no Data at all
    EXPECT_EQ(first->Code(), 0);
    EXPECT_FALSE(fs::exists(DataFile()));
    auto second = Command("SAVE_DATA", "", "");  // an empty Data counts as absent
    EXPECT_EQ(second->Code(), 12);
    EXPECT_EQ(second->At("Return/Message"), "Внутрішня помилка перевірки підпису");
}

TEST_F(LocalDataTest, FailedWriteKeepsTheOldBlob) {
    ASSERT_EQ(Command("SAVE_DATA", "", "old blob")->Code(), 0);
    {
        // A file size limit makes the disk full for this write: the write stops part way.
        FileSizeLimit limit(16);
        EXPECT_EQ(Command("SAVE_DATA", "", std::string(4096, 'n'))->Code(), 12);
    }
    EXPECT_EQ(zktest::ReadFile(DataFile()), "old blob");
    EXPECT_EQ(RegularFiles(), 1u) << "no temporary file is left behind";

    // A folder where the blob should be: it can be neither replaced nor read.
    fs::remove(DataFile());
    fs::create_directories(DataFile());
    EXPECT_EQ(Command("SAVE_DATA", "", "new")->Code(), 12);
    EXPECT_EQ(Command("LOAD_DATA", "")->Code(), 12);
}

TEST_F(LocalDataTest, PasswordSlot) {
    ASSERT_EQ(Command("CLEAN_PASSWORD", "")->Code(), 0);
    auto none = Command("RETRIEVE_PASSWORD", "");
    EXPECT_EQ(none->Code(), 1);
    EXPECT_EQ(none->Find("Data/Pass"), nullptr);

    // The last Pass with text wins; Cyrillic comes back as sent.
    auto saved = Command("SAVE_PASSWORD", "<Pass>first</Pass><Pass>Пароль-1</Pass><Pass/>");
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->Code(), 0);
    for (int i = 0; i < 2; ++i) {  // stays until cleaned
        auto got = Command("RETRIEVE_PASSWORD", "");
        EXPECT_EQ(got->Code(), 0);
        EXPECT_EQ(got->At("Data/Pass"), "Пароль-1");
    }
    EXPECT_EQ(Command("CLEAN_PASSWORD", "")->Code(), 0);
    EXPECT_EQ(Command("RETRIEVE_PASSWORD", "")->Code(), 1);

    // Without Params or without a Pass that has text: no answer of its own.
    EXPECT_FALSE(Command("SAVE_PASSWORD", ""));
    EXPECT_FALSE(Command("SAVE_PASSWORD", "<Pass/>"));
    EXPECT_EQ(Command("RETRIEVE_PASSWORD", "")->Code(), 1);
}

// The slot serves only the origin that saved it; a request without an
// Origin header is an origin of its own.
TEST_F(LocalDataTest, PasswordSlotServesOnlyItsOrigin) {
    const zk::RequestContext owner{"https://bank.example", nullptr}, other{"https://evil.example", nullptr},
        none{"", nullptr}, lookalike{"https://bank.example.evil.example", nullptr};
    auto as = [&](const zk::RequestContext& page, const std::string& command, const std::string& params = "") {
        zk::ScopedRequest current(page);
        return Command(command, params);
    };
    ASSERT_EQ(as(owner, "SAVE_PASSWORD", "<Pass>Пароль банку</Pass>")->Code(), 0);
    for (const auto* stranger : {&other, &none, &lookalike}) {
        SCOPED_TRACE(stranger->origin);
        auto got = as(*stranger, "RETRIEVE_PASSWORD");
        EXPECT_EQ(got->Code(), 1);
        EXPECT_EQ(got->Find("Data/Pass"), nullptr);
        EXPECT_EQ(as(*stranger, "CLEAN_PASSWORD")->Code(), 0);
    }
    auto mine = as(owner, "RETRIEVE_PASSWORD");
    EXPECT_EQ(mine->Code(), 0);
    EXPECT_EQ(mine->At("Data/Pass"), "Пароль банку") << "other origins neither read nor cleaned it";

    // A page without an Origin keeps its own.
    ASSERT_EQ(as(none, "SAVE_PASSWORD", "<Pass>local</Pass>")->Code(), 0);
    EXPECT_EQ(as(owner, "RETRIEVE_PASSWORD")->Code(), 1);
    EXPECT_EQ(as(none, "RETRIEVE_PASSWORD")->At("Data/Pass"), "local");
    EXPECT_EQ(as(none, "CLEAN_PASSWORD")->Code(), 0);
    EXPECT_EQ(as(none, "RETRIEVE_PASSWORD")->Code(), 1);
}

}  // namespace
