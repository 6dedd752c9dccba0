// Drives: the mounted block devices, classified as removable, CD-ROM or fixed,
// and the mask of fixed drives that the certificate and key scans skip.
//
// A mount is a drive when its device is a block device (non-zero major
// number). It is a CD-ROM when its file system is iso9660 or udf; removable
// when its block device sits on USB or MMC in sysfs, or the device (or the
// disk that holds the partition) has "removable" = 1; fixed otherwise. The
// mount table and the sysfs root are inputs, so tests feed fixtures.
#pragma once
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace zk::drives {

enum class DriveKind { Fixed, Removable, CdRom };

struct Drive {
    std::string mountPoint;
    std::string fsType;
    DriveKind kind = DriveKind::Fixed;
};

struct DriveSources {
    std::string mountInfoPath = "/proc/self/mountinfo";
    std::string sysfsRoot = "/sys";
};

// The drives of a mount table in the format of /proc/self/mountinfo, in
// table order.
std::vector<Drive> ParseDrives(std::string_view mountInfo, const std::string& sysfsRoot);
// The same, read from the sources; none when the table cannot be read.
std::vector<Drive> ReadDrives(const DriveSources& sources);

// The set of existing drives that are neither removable nor CD-ROM, with the
// time it was computed. Scans visit every existing drive outside the mask, so
// a drive plugged in since the last refresh is scanned at once.
class DriveSkipMask {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kRefreshAfter{61};

    explicit DriveSkipMask(DriveSources sources = {});

    // Recomputes the mask unless it was computed less than 61 seconds before now.
    void Refresh(Clock::time_point now = Clock::now());
    // Mount points of the drives that exist now and are not in the mask, in
    // mount table order.
    std::vector<std::string> DrivesToScan() const;

    // New sources; the mask is computed afresh on the next refresh.
    void SetSources(DriveSources sources);

private:
    mutable std::mutex lock_;
    DriveSources sources_;
    std::set<std::string> mask_;
    Clock::time_point computed_{};
    bool valid_ = false;
};

// The process-wide mask used by the certificate and key scans.
DriveSkipMask& SystemDriveMask();

}  // namespace zk::drives
