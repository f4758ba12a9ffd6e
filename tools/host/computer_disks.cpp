#include "computer_disks.h"

#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "wine_host.h"

namespace rig {

DiskSet::DiskSet(const std::string& workDir)
{
    std::filesystem::create_directories(workDir);
    const std::string dir = std::filesystem::absolute(workDir).string();
    disks_ = {
        {kDemoDrive, dir + "/demo.atr", false, makeDemoImage()},
        {kBlankDrive, dir + "/blank.atr", false, AtrImage(720, 128)},
        {kDoubleDrive, dir + "/double.atr", false, AtrImage(720, 256)},
        {kEnhancedDrive, dir + "/enhanced.atr", false, AtrImage(1040, 128)},
        {kSingleDrive, dir + "/single.atr", false, AtrImage(720, 128)},
        {kReadOnlyDrive, dir + "/read-only.atr", true, makeDemoImage()},
    };
    // Sectors of their own on the other disks, so that a read from the wrong disk shows.
    for (Disk& d : disks_) {
        if (d.drive != kDoubleDrive && d.drive != kEnhancedDrive && d.drive != kSingleDrive)
            continue;
        for (std::uint16_t n = 1; n <= d.expected.sectorCount(); ++n) {
            auto s = d.expected.sector(n);
            for (std::size_t i = 0; i < s.size(); ++i)
                s[i] = static_cast<std::uint8_t>(n * 3 + i * 5 + d.drive * 41 + (n >> 8));
        }
    }
    for (const Disk& d : disks_) {
        std::filesystem::remove(d.path);
        if (!d.expected.save(d.path))
            throw std::runtime_error("cannot write " + d.path);
    }
}

std::vector<std::string> DiskSet::mountArguments() const
{
    std::vector<std::string> args;
    for (const Disk& d : disks_)
        args.push_back("D" + std::to_string(d.drive) + "=" + windowsPath(d.path) +
                       (d.readOnly ? ",ro" : ""));
    return args;
}

DiskSet::Disk& DiskSet::disk(unsigned drive)
{
    for (Disk& d : disks_)
        if (d.drive == drive)
            return d;
    throw std::out_of_range("no disk in D" + std::to_string(drive));
}

std::vector<std::string> DiskSet::compareFiles() const
{
    std::vector<std::string> differences;
    for (const Disk& d : disks_) {
        const auto now = AtrImage::load(d.path);
        if (!now) {
            differences.push_back(d.path + " cannot be read back as an ATR image");
            continue;
        }
        if (const auto at = now->firstDifference(d.expected)) {
            char line[512];
            const auto& want = d.expected.file();
            const auto& got = now->file();
            std::snprintf(line, sizeof line,
                          "%s (D%u:) differs from what it must hold at offset %zu (%zu bytes, %zu "
                          "expected; byte %s, expected %s)",
                          d.path.c_str(), d.drive, *at, got.size(), want.size(),
                          *at < got.size() ? std::to_string(got[*at]).c_str() : "none",
                          *at < want.size() ? std::to_string(want[*at]).c_str() : "none");
            differences.push_back(line);
        }
    }
    return differences;
}

}  // namespace rig
