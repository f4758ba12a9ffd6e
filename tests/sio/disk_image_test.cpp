// CDiskImage against real files: geometry, the answer blocks, sector transfers and every
// refusal, with the Error events they raise.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/file_attributes.h"
#include "platform/system_error.h"
#include "sio/disk_image.h"
#include "tests/support/emulation_fixture.h"
#include "tests/support/other_user.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes header(std::uint32_t paragraphs, std::uint16_t sectorSize) {
    Bytes h(16, 0);
    h[0] = 0x96;
    h[1] = 0x02;
    h[2] = static_cast<unsigned char>(paragraphs);
    h[3] = static_cast<unsigned char>(paragraphs >> 8);
    h[4] = static_cast<unsigned char>(sectorSize);
    h[5] = static_cast<unsigned char>(sectorSize >> 8);
    h[6] = static_cast<unsigned char>(paragraphs >> 16);
    return h;
}

// A file whose every byte after the header tells its own offset, so a read shows its place.
Bytes patterned(std::uint16_t sectorCount, std::uint16_t sectorSize) {
    const std::uint32_t body = 384 + (sectorCount - 3u) * sectorSize;
    const std::uint32_t paragraphs = (body + 15) / 16;  // odd sector sizes: pad the last one
    Bytes f = header(paragraphs, sectorSize);
    for (std::uint32_t i = 0; i < paragraphs * 16; ++i)
        f.push_back(static_cast<unsigned char>((i * 7 + i / 256) & 0xFF));
    return f;
}

class DiskImageTest : public ImageTest {
protected:
    std::vector<ReceivedEvent> errors() {
        notifier.flushNotifications();
        return receiver.ofKind('E');
    }
};

}  // namespace

// Blank images: exact header and length for the common geometries, and a load reads the
// geometry back.
TEST_F(DiskImageTest, CreateWritesExactHeaderAndBody) {
    struct Case {
        std::uint16_t count, size;
        Bytes head;
        std::size_t length;
    } cases[] = {
        {720, 128, {0x96, 0x02, 0x80, 0x16, 0x80, 0x00, 0x00}, 92176},
        {1040, 128, {0x96, 0x02, 0x80, 0x20, 0x80, 0x00, 0x00}, 133136},
        {720, 256, {0x96, 0x02, 0xE8, 0x2C, 0x00, 0x01, 0x00}, 183952},
        {2, 128, {0x96, 0x02, 0x10, 0x00, 0x80, 0x00, 0x00}, 16 + 256},
        // below four sectors there are boot sectors only, 128 bytes whatever the size
        {1, 256, {0x96, 0x02, 0x08, 0x00, 0x00, 0x01, 0x00}, 16 + 128},
        {19, 1023, {0x96, 0x02, 0x17, 0x04, 0xFF, 0x03, 0x00}, 16 + 384 + 16 * 1023},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.count) + " x " + std::to_string(c.size));
        const std::string p = blank("new.atr", c.count, c.size);
        const Bytes file = readFile(p);
        ASSERT_EQ(file.size(), c.length);
        EXPECT_EQ(Bytes(file.begin(), file.begin() + 7), c.head);
        for (std::size_t i = 7; i < file.size(); ++i) ASSERT_EQ(file[i], 0) << "offset " << i;
        CDiskImage image(notifier);
        ASSERT_TRUE(image.loadImage(p.c_str(), false));
        EXPECT_EQ(image.getSectorSize(), c.size);
        EXPECT_EQ(image.getSectorCount(), c.count);
        EXPECT_STREQ(image.getPath(), p.c_str());
    }
    EXPECT_TRUE(errors().empty());
}

// Sectors 1-3 are always 128 bytes at 16, 144 and 272; sector 4 starts at 400.
TEST_F(DiskImageTest, SectorPlacesAndReads) {
    const std::string p = dir.path("dd.atr");
    const Bytes file = patterned(720, 256);
    writeFile(p, file);
    CDiskImage image(notifier);
    ASSERT_TRUE(image.loadImage(p.c_str(), false));
    EXPECT_EQ(image.sectorSizeOf(1), 128);
    EXPECT_EQ(image.sectorSizeOf(3), 128);
    EXPECT_EQ(image.sectorSizeOf(4), 256);
    EXPECT_EQ(image.sectorOffset(1), 16u);
    EXPECT_EQ(image.sectorOffset(2), 144u);
    EXPECT_EQ(image.sectorOffset(3), 272u);
    EXPECT_EQ(image.sectorOffset(4), 400u);
    EXPECT_EQ(image.sectorOffset(720), 400u + 716u * 256u);
    for (std::uint16_t sector : {1, 2, 3, 4, 5, 720}) {
        SCOPED_TRACE(sector);
        std::uint8_t buffer[1024];
        const std::uint16_t n = image.readSector(buffer, sector);
        ASSERT_EQ(n, image.sectorSizeOf(sector));
        EXPECT_EQ(0, std::memcmp(buffer, file.data() + image.sectorOffset(sector), n));
    }
    EXPECT_TRUE(errors().empty());
}

// A written sector is in the file at once (before unmount), and only that sector changed.
TEST_F(DiskImageTest, WriteSectorStoresAndFlushes) {
    const std::string p = blank("w.atr", 720, 128);
    CDiskImage image(notifier);
    ASSERT_TRUE(image.loadImage(p.c_str(), false));
    std::uint8_t data[128];
    for (int i = 0; i < 128; ++i) data[i] = static_cast<std::uint8_t>(i + 1);
    EXPECT_EQ(image.writeSector(data, 720), 128) << "the last sector is writable";
    EXPECT_EQ(image.writeSector(data, 2), 128);
    const Bytes file = readFile(p);  // read while the image is still open
    ASSERT_EQ(file.size(), 92176u);
    EXPECT_EQ(0, std::memcmp(file.data() + 144, data, 128));
    EXPECT_EQ(0, std::memcmp(file.data() + image.sectorOffset(720), data, 128));
    std::size_t nonzero = 0;
    for (std::size_t i = 16; i < file.size(); ++i) nonzero += file[i] != 0;
    EXPECT_EQ(nonzero, 256u);

    std::uint8_t back[128];
    image.readSector(back, 720);
    EXPECT_EQ(0, std::memcmp(back, data, 128));

    EXPECT_EQ(image.writeSector(data, 721), 0) << "beyond the last sector";
    EXPECT_EQ(image.writeSector(data, 0), 0) << "sector 0 has no place in the file";
    EXPECT_EQ(readFile(p), file);
    EXPECT_TRUE(errors().empty()) << "refusals by number are silent";
}

// A write that cannot reach the file must never be reported to the computer as stored.
TEST_F(DiskImageTest, FailedWriteReturnsNothingStored) {
    const std::string p = blank("ro.atr", 720, 128);
    CDiskImage image(notifier);
    ASSERT_TRUE(image.loadImage(p.c_str(), true));
    std::uint8_t data[128] = {0xAA};
    EXPECT_EQ(image.writeSector(data, 5), 0);
    const auto e = errors();
    ASSERT_FALSE(e.empty());
    EXPECT_NE(e.front().text.find("(CDiskImage::writeSector."), std::string::npos) << e.front().text;
    const Bytes file = readFile(p);
    for (std::size_t i = 16; i < file.size(); ++i) ASSERT_EQ(file[i], 0);
}

// The drive status and configuration answers, byte for byte.
TEST_F(DiskImageTest, StatusAndConfigurationBlocks) {
    struct Case {
        std::uint16_t count, size;
        bool readOnly;
        Bytes status, config;
    } cases[] = {
        {720, 128, false, {0x10, 0x00, 0x01, 0x00, 0x11},
         {0x01, 0x01, 0x02, 0xD0, 0x00, 0x00, 0x00, 0x80, 0x40, 0x00, 0x00, 0x00, 0x95}},
        {1040, 128, true, {0x98, 0x00, 0x01, 0x00, 0x99},
         {0x01, 0x01, 0x04, 0x10, 0x00, 0x00, 0x00, 0x80, 0x40, 0x00, 0x00, 0x00, 0xD6}},
        {720, 256, false, {0x30, 0x00, 0x01, 0x00, 0x31},
         {0x01, 0x01, 0x02, 0xD0, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x15}},
        {721, 128, false, {0x90, 0x00, 0x01, 0x00, 0x91},
         {0x01, 0x01, 0x02, 0xD1, 0x00, 0x00, 0x00, 0x80, 0x40, 0x00, 0x00, 0x00, 0x96}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.count) + " x " + std::to_string(c.size));
        const std::string p = blank("b.atr", c.count, c.size);
        CDiskImage image(notifier);
        ASSERT_TRUE(image.loadImage(p.c_str(), c.readOnly));
        EXPECT_EQ(Bytes(image.getStatusBlock(), image.getStatusBlock() + 5), c.status);
        EXPECT_EQ(Bytes(image.getConfigBlock(), image.getConfigBlock() + 13), c.config);
        EXPECT_TRUE(image.setConfigBlock(c.config.data()));
        EXPECT_EQ(Bytes(image.getConfigBlock(), image.getConfigBlock() + 13), c.config)
            << "a received configuration changes nothing";
    }
}

// Images the emulator will not serve are refused at load with a clear Error, leaving the
// object empty: a bad identification, a short file, sector sizes of 0 or above 1023.
TEST_F(DiskImageTest, LoadRefusesBadImages) {
    struct Case {
        const char* name;
        Bytes bytes;
        std::uint32_t number;  // 0: the system's number
        const char* text;
    } cases[] = {
        {"magic.atr", {0x97, 0x02, 0x80, 0x16, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         100, "invalid atr header identification bytes in "},
        {"short.atr", {0x96, 0x02, 0x80, 0x16, 0x80, 0, 0, 0, 0, 0}, 100, "not an ATR image: "},
        {"empty.atr", {}, 100, "holds 0 bytes, fewer than its 16-byte header"},
        {"size0.atr", header(5760, 0), 100, "unsupported sector size 0 in "},
        // counted wide: 70000 sectors never wrap to 4464
        {"wide.atr", header((384 + 69997 * 256) / 16, 256), 100, "describes 70000 sectors of 256 bytes"},
        {"nothing.atr", header(0, 128), 100, "describes 0 sectors"},
        {"size1024.atr", header(5760, 1024), 100, "unsupported sector size 1024 in "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        takeDelivered();
        const std::string p = dir.path(c.name);
        writeFile(p, c.bytes);
        CDiskImage image(notifier);
        EXPECT_FALSE(image.loadImage(p.c_str(), false));
        EXPECT_STREQ(image.getPath(), "");
        std::uint8_t buffer[128];
        EXPECT_EQ(image.writeSector(buffer, 1), 0) << "an empty object holds no file";
        const auto e = errors();
        ASSERT_EQ(e.size(), 1u);
        if (c.number) {
            EXPECT_EQ(e[0].number, c.number);
        }
        EXPECT_NE(e[0].text.find(c.text), std::string::npos) << e[0].text;
        if (c.number == 100) {
            EXPECT_NE(e[0].text.find(p), std::string::npos) << "the text names the file";
            EXPECT_NE(e[0].text.find("(CDiskImage::loadImage)"), std::string::npos);
        }
    }
}

// The geometry a header gives, bodies under three boot sectors and the largest sector the
// bus can carry included.
TEST_F(DiskImageTest, HeaderGivesGeometry) {
    struct Case {
        Bytes bytes;
        std::uint16_t size, count;
    } cases[] = {
        {patterned(10, 1023), 1023, 10},
        {header(16, 256), 256, 2},   // 256 bytes of body: two boot sectors, not one sector
        {header(8, 100), 100, 1},    // not 23,592
        {header(24, 256), 256, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + ", " + std::to_string(c.count));
        const std::string p = dir.path("g.atr");
        writeFile(p, c.bytes);
        CDiskImage image(notifier);
        ASSERT_TRUE(image.loadImage(p.c_str(), false));
        EXPECT_EQ(image.getSectorSize(), c.size);
        EXPECT_EQ(image.getSectorCount(), c.count);
    }
}

TEST_F(DiskImageTest, LoadMissingFileReportsFopen) {
    CDiskImage image(notifier);
    const std::string p = dir.path("none.atr");
    EXPECT_FALSE(image.loadImage(p.c_str(), false));
    const auto e = errors();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_NE(e[0].number, 0u);
    EXPECT_NE(e[0].text.find("(CDiskImage::loadImage.fopen)"), std::string::npos) << e[0].text;
}

// A header may promise more than the file holds: such an image is served, the missing part
// reading as blank without a report. A file cut short after it was loaded is another matter:
// its lost sectors fail, reported, and never pass for blank data.
TEST_F(DiskImageTest, ShortImageReadsBlankAndCutImageFails) {
    const std::string p = dir.path("cut.atr");
    Bytes file = patterned(720, 128);
    file.resize(400 + 64);  // sector 4 is half there, sector 5 not at all
    writeFile(p, file);
    CDiskImage image(notifier);
    ASSERT_TRUE(image.loadImage(p.c_str(), false));
    EXPECT_EQ(image.getSectorCount(), 720);
    EXPECT_EQ(image.sectorsHeld(), 3);
    std::uint8_t buffer[128];
    ASSERT_EQ(image.readSector(buffer, 3), 128);
    ASSERT_EQ(image.readSector(buffer, 4), 128);
    EXPECT_EQ(0, std::memcmp(buffer, file.data() + 400, 64));
    for (int i = 64; i < 128; ++i) ASSERT_EQ(buffer[i], 0) << "byte " << i;
    std::memset(buffer, 0x55, sizeof buffer);
    EXPECT_EQ(image.readSector(buffer, 720), 128) << "still the full sector length";
    for (int i = 0; i < 128; ++i) ASSERT_EQ(buffer[i], 0) << "byte " << i;
    EXPECT_TRUE(errors().empty());

    std::filesystem::resize_file(p, 200);  // another program cuts it under the drive
    std::memset(buffer, 0x55, sizeof buffer);
    EXPECT_EQ(image.readSector(buffer, 3), 0);
    for (int i = 0; i < 128; ++i) ASSERT_EQ(buffer[i], 0) << "byte " << i;
    const auto e = errors();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].number, 100u);
    EXPECT_NE(e[0].text.find("cut short after it was mounted: sector 3 lies beyond its end"), std::string::npos)
        << e[0].text;
}

// Creating over a read-only file clears the protection and overwrites it.
TEST_F(DiskImageTest, CreateOverReadOnlyFile) {
    const std::string p = dir.path("old.atr");
    writeFile(p, Bytes(5000, 0xEE));
    ASSERT_TRUE(platform::setReadOnlyAttribute(p.c_str()));
    CDiskImage image(notifier);
    ASSERT_TRUE(image.createImage(p.c_str(), 720, 128));
    EXPECT_FALSE(platform::hasReadOnlyAttribute(p.c_str()));
    EXPECT_EQ(readFile(p).size(), 92176u);
    EXPECT_STREQ(image.getPath(), "") << "creating leaves the object empty";
}

// Every geometry that would not mount back exactly as asked is refused with its reason,
// before any file is touched, whatever width the caller's numbers have.
TEST_F(DiskImageTest, CreateRefusesWhatCannotMountBack) {
    struct Case {
        std::int64_t count, size;
        const char* reason;
    } cases[] = {
        {0, 128, "1 to 65535 sectors"},      {65536, 128, "1 to 65535 sectors"},
        {-1, 128, "1 to 65535 sectors"},     {720, 0, "1 to 1023 bytes"},
        {720, 1024, "1 to 1023 bytes"},      {720, 65536 + 128, "1 to 1023 bytes"},
        {100, 17, "16-byte paragraphs"},     {720, 1023, "16-byte paragraphs"},
    };
    const std::string p = dir.path("keep.atr");
    const Bytes original(300, 0x42);
    writeFile(p, original);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.count) + " x " + std::to_string(c.size));
        takeDelivered();
        CDiskImage image(notifier);
        EXPECT_FALSE(image.createImage(p.c_str(), c.count, c.size));
        EXPECT_EQ(readFile(p), original) << "the existing file must be left alone";
        const auto e = errors();
        ASSERT_EQ(e.size(), 1u);
        EXPECT_EQ(e[0].number, 100u);
        const std::string asked = std::to_string(c.count) + " sectors of " + std::to_string(c.size) + " bytes";
        for (const std::string& part : {p, asked, std::string(c.reason), std::string("(CDiskImage::createImage)")})
            EXPECT_NE(e[0].text.find(part), std::string::npos) << e[0].text;
    }
    CDiskImage image(notifier);
    EXPECT_FALSE(image.createImage(dir.path("none.atr").c_str(), 1, 1024));
    EXPECT_FALSE(std::filesystem::exists(dir.path("none.atr")));
}

// A missing path (a null string from a front end) is refused, not dereferenced.
TEST_F(DiskImageTest, NoPathIsRefused) {
    CDiskImage image(notifier);
    EXPECT_FALSE(image.loadImage(nullptr, false));
    EXPECT_FALSE(image.createImage(nullptr, 720, 128));
    const auto e = errors();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].number, 100u);
    EXPECT_EQ(e[0].text, "no path given for the image (CDiskImage::loadImage)");
    EXPECT_EQ(e[1].text, "no path given for the new image (CDiskImage::createImage)");
}

TEST_F(DiskImageTest, CreateInMissingDirectoryReportsFopen) {
    CDiskImage image(notifier);
    EXPECT_FALSE(image.createImage(dir.path("no/such/dir.atr").c_str(), 720, 128));
    const auto e = errors();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_NE(e[0].text.find("(CDiskImage::createImage.fopen)"), std::string::npos) << e[0].text;
}

// A path too long to store whole must not open the shorter path it would be cut to.
TEST_F(DiskImageTest, OverlongPathIsRefused) {
    const std::string cutTo = dir.path("x");
    const std::string p = cutTo + std::string(1100 - cutTo.size(), 'y');
    const std::string shorter = p.substr(0, 1023);
    writeFile(shorter, header(5760, 128));  // may fail where names are limited; fine
    CDiskImage image(notifier);
    EXPECT_FALSE(image.loadImage(p.c_str(), false));
    EXPECT_STREQ(image.getPath(), "");
    const auto e = errors();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].number, platform::errorNameTooLong());
    EXPECT_NE(e[0].text.find("1100"), std::string::npos) << e[0].text;

    // Exactly 1023 characters is still a path.
    CDiskImage exact(notifier);
    const bool loaded = exact.loadImage(shorter.c_str(), false);
    if (loaded) {
        EXPECT_STREQ(exact.getPath(), shorter.c_str());
    }
}

// Where the system refuses write access, a read-write load falls back to read-only.
namespace {
int loadDeniedFile(void* raw) {
    const char* path = static_cast<const char*>(raw);
    CNotifier notifier;
    CDiskImage image(notifier);
    int failures = 0;
    failures += !image.loadImage(path, false);
    failures += !image.isReadOnly();
    failures += image.getStatusBlock()[0] != 0x98;
    failures += notifier.queue().count() != 0;  // no error: the fallback is silent
    return failures;
}
}  // namespace

TEST_F(DiskImageTest, AccessDeniedFallsBackToReadOnly) {
    const std::string p = blank("locked.atr", 1040, 128);
    ASSERT_TRUE(platform::setReadOnlyAttribute(p.c_str()));
    std::FILE* probe = std::fopen(p.c_str(), "r+b");
    if (!probe) {
        EXPECT_EQ(loadDeniedFile(const_cast<char*>(p.c_str())), 0);
        return;
    }
    std::fclose(probe);
    // A privileged user may write anyway: check as one who may not.
    const int failures = runAsUnprivilegedUser(loadDeniedFile, const_cast<char*>(p.c_str()));
    if (failures < 0) GTEST_SKIP() << "this user may write read-only files and cannot switch users";
    EXPECT_EQ(failures, 0);
}

// Loading again closes the first file; destruction closes the last.
TEST_F(DiskImageTest, ReloadAndClose) {
    const std::string a = blank("a.atr", 720, 128);
    const std::string b = blank("b.atr", 720, 256);
    CDiskImage image(notifier);
    ASSERT_TRUE(image.loadImage(a.c_str(), false));
    ASSERT_TRUE(image.loadImage(b.c_str(), true));
    EXPECT_STREQ(image.getPath(), b.c_str());
    EXPECT_EQ(image.getSectorSize(), 256);
    EXPECT_TRUE(image.isReadOnly());
    image.closeImage();
    EXPECT_STREQ(image.getPath(), "");
    EXPECT_EQ(image.getSectorSize(), 256) << "closing keeps the geometry";
}
