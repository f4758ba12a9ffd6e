// The drive table: mount, unmount, swap, their lines, and the format answers.
#include <gtest/gtest.h>

#include <filesystem>

#include <string>

#include "platform/file_attributes.h"
#include "sio/sio_drives.h"
#include "tests/support/emulation_fixture.h"

namespace {

class DriveTableTest : public ImageTest {
protected:
    std::string pathAt(std::uint8_t drive) {
        platform::MutexLock hold(drives.driveMutex());
        CDiskImage* image = drives.imageAt(drive);
        return image ? image->getPath() : "";
    }

    CSIODrives drives{std::make_unique<FakeCommDevice>(), states, notifier};
};

}  // namespace

// The mount line names the file after the last backslash only, the drive, read-only and the
// geometry.
TEST_F(DriveTableTest, MountLine) {
    const std::string a = blank("GAME.ATR", 720, 128);
    EXPECT_TRUE(drives.mountImage(a.c_str(), 2, true));
    auto e = takeDelivered();
    ASSERT_EQ(e.size(), 1u);
    const std::string shown = a.find('\\') == std::string::npos ? a : a.substr(a.rfind('\\') + 1);
    EXPECT_EQ(e[0], (ReceivedEvent{'S', 0, shown + " mounted as D2: read-only [720 128-byte sectors]"}));

    const std::string b = blank("dd.atr", 720, 256);
    EXPECT_TRUE(drives.mountImage(b.c_str(), 9, false));
    e = takeDelivered();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_NE(e[0].text.find(" mounted as D9: [720 256-byte sectors]"), std::string::npos) << e[0].text;

    // An image shorter than its header says gets a second line with what the file holds.
    std::filesystem::resize_file(b, 400 + 10 * 256 + 100);
    EXPECT_TRUE(drives.mountImage(b.c_str(), 8, false));
    e = takeDelivered();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_NE(e[1].text.find("dd.atr holds 13 of its 720 sectors: the rest read as blank"), std::string::npos)
        << e[1].text;
}

// Only a backslash separates the name; a path with forward slashes shows whole.
TEST_F(DriveTableTest, MountLineNameRule) {
    const std::string p = blank("x.atr", 720, 128);
    std::string withBackslash = p;
    for (char& c : withBackslash)
        if (c == '/') c = '\\';
    // On Windows both spellings name the file; elsewhere only the forward one does.
    if (drives.mountImage(withBackslash.c_str(), 1, false)) {
        const auto e = takeDelivered();
        ASSERT_EQ(e.size(), 1u);
        EXPECT_EQ(e[0].text.rfind("x.atr mounted as D1:", 0), 0u) << e[0].text;
    }
    takeDelivered();
    std::string forward = p;
    for (char& c : forward)
        if (c == '\\') c = '/';
    ASSERT_TRUE(drives.mountImage(forward.c_str(), 1, false));
    const auto e = takeDelivered();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].text.rfind(forward + " mounted as D1:", 0), 0u) << e[0].text;
}

// Drive numbers outside 1-9 change nothing, and each call says which number it refused.
TEST_F(DriveTableTest, InvalidDrivesAreRefused) {
    const std::string p = blank("a.atr", 720, 128);
    ASSERT_TRUE(drives.mountImage(p.c_str(), 2, false));
    takeDelivered();
    for (int drive : {0, 10, 255}) {
        SCOPED_TRACE(drive);
        const auto d = static_cast<std::uint8_t>(drive);
        EXPECT_FALSE(drives.mountImage(p.c_str(), d, false));
        EXPECT_FALSE(drives.unmountImage(d));
        drives.swapImages(d, 2);
        const auto e = takeDelivered();
        ASSERT_EQ(e.size(), 3u);
        for (const auto& event : e) {
            EXPECT_EQ(event.kind, 'E');
            EXPECT_NE(event.text.find("there is no drive " + std::to_string(drive) + ": the drives are numbered 1 to 9"),
                      std::string::npos) << event.text;
        }
    }
    EXPECT_NE(drives.imageAt(2), nullptr) << "a refused swap leaves the drive alone";
    EXPECT_TRUE(drives.unmountImage(5)) << "a valid empty drive";
    EXPECT_TRUE(takeDelivered().empty());
}

// A failed mount leaves the drive empty, also when it held an image before.
TEST_F(DriveTableTest, FailedMountEmptiesTheDrive) {
    const std::string good = blank("good.atr", 720, 128);
    ASSERT_TRUE(drives.mountImage(good.c_str(), 3, false));
    takeDelivered();
    EXPECT_FALSE(drives.mountImage(dir.path("missing.atr").c_str(), 3, false));
    EXPECT_EQ(pathAt(3), "");
    const auto e = takeDelivered();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].kind, 'E');
}

// Sectors that cannot cross the bus in one frame never reach the responder.
TEST_F(DriveTableTest, OversizedSectorsAreRefusedAtMount) {
    const std::string p = dir.path("big.atr");
    std::vector<unsigned char> header = {0x96, 0x02, 0x00, 0x10, 0x00, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    header.resize(16 + 0x1000 * 16);
    writeFile(p, header);
    EXPECT_FALSE(drives.mountImage(p.c_str(), 1, false));
    EXPECT_EQ(pathAt(1), "");
    const auto e = takeDelivered();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].number, 100u);
    EXPECT_NE(e[0].text.find("1024"), std::string::npos) << e[0].text;
}

// Swapping moves images (never copies) and always says so once both numbers are valid.
TEST_F(DriveTableTest, Swap) {
    const std::string a = blank("a.atr", 720, 128);
    ASSERT_TRUE(drives.mountImage(a.c_str(), 1, false));
    takeDelivered();
    drives.swapImages(1, 2);
    EXPECT_EQ(pathAt(1), "");
    EXPECT_EQ(pathAt(2), a);
    drives.swapImages(3, 3);
    drives.swapImages(4, 5);
    const auto e = takeDelivered();
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].text, "swapped disk 1 and 2");
    EXPECT_EQ(e[1].text, "swapped disk 3 and 3");
    EXPECT_EQ(e[2].text, "swapped disk 4 and 5");
    EXPECT_EQ(pathAt(2), a);
}

// A read-write mount of a file the system will not open for writing ends read-only.
TEST_F(DriveTableTest, ReadOnlyFileMountsReadOnly) {
    const std::string p = blank("ro.atr", 720, 128);
    ASSERT_TRUE(platform::setReadOnlyAttribute(p.c_str()));
    std::FILE* probe = std::fopen(p.c_str(), "r+b");
    if (probe) {
        std::fclose(probe);
        GTEST_SKIP() << "this user may write read-only files; the fallback is shown by the disk image tests";
    }
    ASSERT_TRUE(drives.mountImage(p.c_str(), 1, false));
    const auto e = takeDelivered();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_NE(e[0].text.find("D1: read-only ["), std::string::npos) << e[0].text;
}

TEST_F(DriveTableTest, FormatFramesEndInFF) {
    const std::uint8_t* f128 = drives.formatFrame128();
    const std::uint8_t* f256 = drives.formatFrame256();
    EXPECT_EQ(f128[0], 0xFF);
    EXPECT_EQ(f128[1], 0xFF);
    for (int i = 2; i < 128; ++i) ASSERT_EQ(f128[i], 0x00);
    EXPECT_EQ(f128[128], 0xFF);
    EXPECT_EQ(f256[0], 0xFF);
    EXPECT_EQ(f256[1], 0xFF);
    for (int i = 2; i < 256; ++i) ASSERT_EQ(f256[i], 0x00);
    EXPECT_EQ(f256[256], 0xFF);
    EXPECT_STREQ(CSIODrives::commandName(0x52), "read");
    EXPECT_STREQ(CSIODrives::commandName(0x72), "unknown?");
    EXPECT_FALSE(CSIODrives::isAdmittedCommand(0x72)) << "the fast read stays unserved";
}
