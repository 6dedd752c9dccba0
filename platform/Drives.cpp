#include "platform/Drives.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace zk::drives {
namespace {

constexpr size_t kMaxMountInfo = 16u << 20;

// Mount table fields escape blanks and backslashes as octal ("\040").
std::string Unescape(std::string_view field) {
    auto octal = [](char c) { return c >= '0' && c <= '7'; };
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) && octal(field[i + 2]) &&
            octal(field[i + 3])) {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

std::string ReadSmallFile(const fs::path& path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    return text;
}

bool IsRemovableDevice(const std::string& sysfsRoot, const std::string& majorMinor) {
    std::error_code ec;
    fs::path link = fs::path(sysfsRoot) / "dev" / "block" / majorMinor;
    fs::path device = fs::canonical(link, ec);
    if (ec) return false;
    // A device below a USB or MMC controller.
    for (const auto& part : device) {
        std::string name = part.string();
        if (name.rfind("usb", 0) == 0 || name.rfind("mmc", 0) == 0) return true;
    }
    // The device itself, or the disk that holds this partition.
    for (const fs::path& dir : {device, device.parent_path()})
        if (ReadSmallFile(dir / "removable") == "1") return true;
    return false;
}

}  // namespace

std::vector<Drive> ParseDrives(std::string_view mountInfo, const std::string& sysfsRoot) {
    std::vector<Drive> drives;
    std::istringstream lines{std::string(mountInfo)};
    std::string line;
    while (std::getline(lines, line)) {
        // id parent major:minor root mountpoint options [optional...] - fstype source superoptions
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string w; fields >> w;) f.push_back(w);
        size_t dash = 6;
        while (dash < f.size() && f[dash] != "-") ++dash;
        if (f.size() < 7 || dash + 1 >= f.size()) continue;
        const std::string& majorMinor = f[2];
        if (majorMinor.rfind("0:", 0) == 0 || majorMinor.find(':') == std::string::npos) continue;
        Drive d;
        d.mountPoint = Unescape(f[4]);
        d.fsType = f[dash + 1];
        if (d.fsType == "iso9660" || d.fsType == "udf")
            d.kind = DriveKind::CdRom;
        else if (IsRemovableDevice(sysfsRoot, majorMinor))
            d.kind = DriveKind::Removable;
        drives.push_back(std::move(d));
    }
    return drives;
}

std::vector<Drive> ReadDrives(const DriveSources& sources) {
    std::ifstream in(sources.mountInfoPath);
    if (!in) return {};
    std::string text;
    char buf[65536];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        text.append(buf, static_cast<size_t>(in.gcount()));
        if (text.size() > kMaxMountInfo) break;
    }
    return ParseDrives(text, sources.sysfsRoot);
}

DriveSkipMask::DriveSkipMask(DriveSources sources) : sources_(std::move(sources)) {}

void DriveSkipMask::Refresh(Clock::time_point now) {
    std::lock_guard guard(lock_);
    if (valid_ && now >= computed_ && now - computed_ < kRefreshAfter) return;
    mask_.clear();
    for (const Drive& d : ReadDrives(sources_))
        if (d.kind == DriveKind::Fixed) mask_.insert(d.mountPoint);
    computed_ = now;
    valid_ = true;
}

std::vector<std::string> DriveSkipMask::DrivesToScan() const {
    DriveSources sources;
    std::set<std::string> mask;
    {
        std::lock_guard guard(lock_);
        sources = sources_;
        mask = mask_;
    }
    std::vector<std::string> roots;
    for (const Drive& d : ReadDrives(sources))
        if (!mask.count(d.mountPoint)) roots.push_back(d.mountPoint);
    return roots;
}

void DriveSkipMask::SetSources(DriveSources sources) {
    std::lock_guard guard(lock_);
    sources_ = std::move(sources);
    mask_.clear();
    valid_ = false;
}

DriveSkipMask& SystemDriveMask() {
    static DriveSkipMask mask;
    return mask;
}

}  // namespace zk::drives
