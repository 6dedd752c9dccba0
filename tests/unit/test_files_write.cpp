// Writing and deleting files: the atomic writer's temporary files (unnamed
// while written, one recognisable name pattern for the leftovers), and
// deletion inside a folder that never follows a link.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "TestUtil.h"
#include "platform/Files.h"

namespace {

namespace fs = std::filesystem;

TEST(AtomicWriter, TemporaryNamePattern) {
    const std::pair<const char*, bool> names[] = {
        {"Params.ini.~tmp1234_5678", true},
        {"UserData.dat.~tmp1_1", true},
        {"ivanov.key.~tmp42_43", true},
        {"Params.ini", false},
        {".~tmp1_2", false},                 // no file name before the mark
        {"Params.ini.~tmp", false},
        {"Params.ini.~tmp12", false},
        {"Params.ini.~tmp12_", false},
        {"Params.ini.~tmp_12", false},
        {"Params.ini.~tmpx_1", false},
        {"Params.ini.~tmp1_2.bak", false},
        {"ZelkorH.~new", false},             // the update's copy of the program
        {"notes.~tmp1_2x", false},
    };
    for (const auto& [name, ours] : names) EXPECT_EQ(zk::files::IsAtomicTemporaryName(name), ours) << name;
}

TEST(AtomicWriter, ReplacesKeepsModeAndLeavesNoTemporaryFile) {
    zktest::TempDir dir;
    const std::string path = dir.file("Params.ini");
    ASSERT_TRUE(zk::files::WriteAtomically(path, "one", 3));
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_TRUE(zk::files::WriteAtomically(path, "two", 3));
    EXPECT_EQ(zktest::ReadFile(path), "two");
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_TRUE(zk::files::WriteAtomically(path, "three", 5, 0644));
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
    // A planted link in place of the temporary name is not followed.
    const std::string victim = dir.file("victim");
    zktest::WriteFile(victim, "untouched");
    fs::create_symlink(victim, path + ".~tmp" + std::to_string(getpid()) + "_" + std::to_string(gettid()));
    ASSERT_TRUE(zk::files::WriteAtomically(path, "four", 4));
    EXPECT_EQ(zktest::ReadFile(path), "four");
    EXPECT_EQ(zktest::ReadFile(victim), "untouched");
}

TEST(DeleteFilesIn, NeverFollowsALink) {
    zktest::TempDir dir;
    const std::string folder = dir.file("Data"), outside = dir.file("outside");
    fs::create_directories(folder + "/sub");
    fs::create_directories(outside);
    zktest::WriteFile(outside + "/target.db", "keep");
    fs::permissions(outside + "/target.db", fs::perms::owner_read);
    zktest::WriteFile(folder + "/a.db", "a");
    zktest::WriteFile(folder + "/b.txt", "b");
    zktest::WriteFile(folder + "/sub/c.db", "c");
    fs::create_symlink(outside + "/target.db", folder + "/link.db");
    fs::create_directory_symlink(outside, folder + "/dirlink.db");

    EXPECT_TRUE(zk::files::DeleteFilesIn(folder, [](const std::string& n) { return n.ends_with(".db"); }));
    EXPECT_FALSE(fs::exists(folder + "/a.db"));
    EXPECT_TRUE(fs::exists(folder + "/b.txt"));
    EXPECT_TRUE(fs::exists(folder + "/sub/c.db")) << "subfolders stay";
    EXPECT_FALSE(fs::is_symlink(folder + "/link.db")) << "the link goes";
    EXPECT_FALSE(fs::is_symlink(folder + "/dirlink.db"));
    EXPECT_EQ(zktest::ReadFile(outside + "/target.db"), "keep") << "its target stays";
    EXPECT_EQ(fs::status(outside + "/target.db").permissions() & fs::perms::all, fs::perms::owner_read);

    // The folder itself a link: refused unless asked for.
    fs::create_directory_symlink(outside, dir.file("linked"));
    auto all = [](const std::string&) { return true; };
    EXPECT_FALSE(zk::files::DeleteFilesIn(dir.file("linked"), all));
    EXPECT_TRUE(fs::exists(outside + "/target.db"));
    EXPECT_TRUE(zk::files::DeleteFilesIn(dir.file("linked"), all, zk::files::FolderLink::Follow));
    EXPECT_FALSE(fs::exists(outside + "/target.db"));
    EXPECT_TRUE(zk::files::DeleteFilesIn(dir.file("absent"), all)) << "a missing folder holds nothing";
    EXPECT_FALSE(zk::files::IsRealFolder(dir.file("linked")));
    EXPECT_TRUE(zk::files::IsRealFolder(folder));
}

// Emptying "View" (at start and at shutdown) or "CertStorage": links go,
// their targets and those targets' modes stay; read-only subfolders go too.
TEST(EmptyFolder, RemovesLinksNotTheirTargets) {
    zktest::TempDir dir;
    const std::string view = dir.file("View"), outside = dir.file("outside");
    fs::create_directories(view + "/sub/deeper");
    fs::create_directories(outside + "/inner");
    zktest::WriteFile(outside + "/file.txt", "keep");
    zktest::WriteFile(outside + "/inner/file.txt", "keep");
    fs::permissions(outside + "/file.txt", fs::perms::owner_read);
    zktest::WriteFile(view + "/a.txt", "a");
    zktest::WriteFile(view + "/sub/deeper/b.txt", "b");
    fs::permissions(view + "/sub/deeper", fs::perms::owner_read | fs::perms::owner_exec);
    fs::create_symlink(outside + "/file.txt", view + "/link.txt");
    fs::create_directory_symlink(outside, view + "/sub/dirlink");

    zk::files::EmptyFolder(view);
    EXPECT_TRUE(fs::is_directory(view));
    EXPECT_TRUE(fs::is_empty(view));
    EXPECT_EQ(zktest::ReadFile(outside + "/file.txt"), "keep");
    EXPECT_EQ(zktest::ReadFile(outside + "/inner/file.txt"), "keep");
    EXPECT_EQ(fs::status(outside + "/file.txt").permissions() & fs::perms::all, fs::perms::owner_read);

    // "View" itself a link: its target is not emptied, nor removed.
    fs::remove(view);
    fs::create_directory_symlink(outside, view);
    zk::files::RemoveFolder(view);
    EXPECT_TRUE(fs::exists(outside + "/file.txt"));
    EXPECT_TRUE(fs::exists(outside + "/inner/file.txt"));
    fs::remove(view);
    fs::create_directories(view + "/x");
    zk::files::RemoveFolder(view);
    EXPECT_FALSE(fs::exists(view));
}

}  // namespace
