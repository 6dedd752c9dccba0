// Reading whole files: only regular files within the size limit are read;
// a FIFO or folder named like a file gives nothing at once.
#include <sys/stat.h>

#include "TestUtil.h"
#include "platform/Files.h"

namespace {

TEST(ReadAll, OnlyRegularFilesWithinTheLimit) {
    zktest::TempDir dir;
    zktest::WriteFile(dir.file("a.cer"), "12345");
    ASSERT_EQ(mkfifo(dir.file("fifo.cer").c_str(), 0600), 0);  // no writer: a blocking open would wait forever
    std::filesystem::create_directory(dir.file("folder.cer"));

    auto data = zk::files::ReadAll(dir.file("a.cer"), 5);
    ASSERT_TRUE(data);
    EXPECT_EQ(std::string(data->begin(), data->end()), "12345");
    EXPECT_FALSE(zk::files::ReadAll(dir.file("a.cer"), 4)) << "larger than the limit";
    EXPECT_FALSE(zk::files::ReadAll(dir.file("fifo.cer")));
    EXPECT_FALSE(zk::files::ReadAll(dir.file("folder.cer")));
    EXPECT_FALSE(zk::files::ReadAll(dir.file("absent.cer")));
}

}  // namespace
