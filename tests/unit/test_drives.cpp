// Drive classification from fixture mount tables and sysfs trees, and the
// 61-second refresh rule of the mask of fixed drives.
#include <filesystem>

#include "TestUtil.h"
#include "platform/Drives.h"

namespace {

namespace fs = std::filesystem;
using zk::drives::DriveKind;

// A sysfs tree with a SATA disk, a USB stick, a card reader disk marked
// removable, an SD card and an optical drive.
class DrivesTest : public ::testing::Test {
protected:
    void SetUp() override {
        Device("8:1", "devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda/sda1");
        zktest::WriteFile(sys("devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda/removable"),
                          "0\n");
        Device("8:17", "devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb/sdb1");
        Device("8:33", "devices/pci0000:00/0000:00:1f.0/host9/block/sdc/sdc1");
        zktest::WriteFile(sys("devices/pci0000:00/0000:00:1f.0/host9/block/sdc/removable"), "1\n");
        Device("179:1", "devices/platform/soc/mmc_host/mmc0/mmc0:0001/block/mmcblk0/mmcblk0p1");
        Device("11:0", "devices/pci0000:00/0000:00:17.0/ata2/host1/target1:0:0/1:0:0:0/block/sr0");
        table = dir.file("mountinfo");
        zktest::WriteFile(table, kTable);
    }
    std::string sys(const std::string& rel) const { return dir.file("sys/" + rel); }
    void Device(const std::string& majorMinor, const std::string& devicePath) {
        fs::create_directories(sys(devicePath));
        fs::create_directories(sys("dev/block"));
        fs::create_symlink("../../" + devicePath, sys("dev/block/" + majorMinor));
    }

    static constexpr const char* kTable =
        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "30 22 8:17 / /media/user/MY\\040USB rw,nosuid shared:5 master:2 - vfat /dev/sdb1 rw\n"
        "31 22 8:33 / /media/card rw - exfat /dev/sdc1 rw\n"
        "32 22 179:1 / /media/sd rw - ext4 /dev/mmcblk0p1 rw\n"
        "33 22 11:0 / /media/cdrom ro - iso9660 /dev/sr0 ro\n"
        "34 22 0:45 / /tmp rw - tmpfs tmpfs rw\n"
        "35 22 8:2 / /home rw - ext4 /dev/sda2 rw\n"
        "a line that is not a mount\n"
        "36 22 8:3 / /short rw\n";

    zktest::TempDir dir;
    std::string table;
};

TEST_F(DrivesTest, ClassifiesMountsFromTheTableAndSysfs) {
    auto drives = zk::drives::ReadDrives({table, dir.file("sys")});
    std::vector<std::pair<std::string, DriveKind>> got;
    for (const auto& d : drives) got.emplace_back(d.mountPoint, d.kind);
    const std::vector<std::pair<std::string, DriveKind>> expected = {
        {"/", DriveKind::Fixed},
        {"/media/user/MY USB", DriveKind::Removable},  // on USB, octal escape undone
        {"/media/card", DriveKind::Removable},         // its disk says removable
        {"/media/sd", DriveKind::Removable},           // on MMC
        {"/media/cdrom", DriveKind::CdRom},            // iso9660
        {"/home", DriveKind::Fixed},                   // unknown to sysfs
    };
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(zk::drives::ReadDrives({dir.file("absent"), dir.file("sys")}).empty());
}

TEST_F(DrivesTest, MaskIsRefreshedAfter61Seconds) {
    zk::drives::DriveSkipMask mask({table, dir.file("sys")});
    const auto t0 = zk::drives::DriveSkipMask::Clock::now();
    mask.Refresh(t0);
    const std::vector<std::string> removable = {"/media/user/MY USB", "/media/card", "/media/sd", "/media/cdrom"};
    EXPECT_EQ(mask.DrivesToScan(), removable);

    // Drives mounted since the refresh are outside the mask: scanned at once.
    Device("8:49", "devices/pci0000:00/0000:00:14.0/usb2/2-1/host7/block/sdd/sdd1");
    zktest::WriteFile(table, std::string(kTable) + "40 22 8:4 / /data rw - ext4 /dev/sda4 rw\n" +
                                 "41 22 8:49 / /media/new rw - vfat /dev/sdd1 rw\n");
    std::vector<std::string> withNew = removable;
    withNew.push_back("/data");
    withNew.push_back("/media/new");
    mask.Refresh(t0 + std::chrono::seconds(60));
    EXPECT_EQ(mask.DrivesToScan(), withNew) << "a mask younger than 61 seconds is kept";

    mask.Refresh(t0 + std::chrono::seconds(61));
    std::vector<std::string> afterRefresh = removable;
    afterRefresh.push_back("/media/new");
    EXPECT_EQ(mask.DrivesToScan(), afterRefresh) << "the fixed drive joined the mask";
}

}  // namespace
