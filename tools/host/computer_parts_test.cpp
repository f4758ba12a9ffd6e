// The simulated computer's own knowledge of the bus and the disks, without Wine: the answers it
// expects and the images it makes are checked against known bytes, so that a mistake here
// cannot hide behind the same mistake in the drive it judges.
//
//   computer_parts_test --work DIR
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "atr_image.h"
#include "sio_frames.h"
#include "wine_host.h"

namespace {

using namespace rig;

int failures = 0;

void check(bool ok, const std::string& what)
{
    if (!ok) {
        ++failures;
        std::printf("FAIL - %s\n", what.c_str());
    }
}

bool startsWith(const Bytes& bytes, const Bytes& head)
{
    return bytes.size() >= head.size() && std::equal(head.begin(), head.end(), bytes.begin());
}

// A wrong sum makes every frame of the computer look corrupt, or every corrupt one right.
void checksums()
{
    const Bytes abc{'a', 'b', 'c'}, ones{0xFF, 0xFF};
    check(sio::checksum({}) == 0x00, "the sum of nothing is 0");
    check(sio::checksum(abc) == 0x27, "abc sums to 0x27 (end-around carry)");
    check(sio::checksum(ones) == 0xFF, "FF FF sums to FF");
    check(sio::commandFrame(0x31, 0x52, 1) == Bytes({0x31, 0x52, 0x01, 0x00, 0x84}),
          "read D1: sector 1 is 31 52 01 00 84");
}

// What a drive answers, byte for byte, for the geometries the scenarios use.
void answers()
{
    check(sio::statusFrame(720, 128, false) == Bytes({0x10, 0x00, 0x01, 0x00, 0x11}),
          "status of a writable 720 x 128 disk");
    check(sio::statusFrame(1040, 128, true) == Bytes({0x98, 0x00, 0x01, 0x00, 0x99}),
          "status of a read-only 1040 x 128 disk");
    check(sio::statusFrame(720, 256, false) == Bytes({0x30, 0x00, 0x01, 0x00, 0x31}),
          "status of a 720 x 256 disk");
    check(sio::configFrame(720, 128) ==
              Bytes({0x01, 0x01, 0x02, 0xD0, 0, 0, 0, 0x80, 0x40, 0, 0, 0, 0x95}),
          "configuration of a 720 x 128 disk");
    check(sio::configFrame(720, 256) ==
              Bytes({0x01, 0x01, 0x02, 0xD0, 0, 0, 0, 0x00, 0x40, 0, 0, 0, 0x15}),
          "configuration of a 720 x 256 disk (the size's low byte only)");
    for (std::uint16_t size : {128, 256}) {
        const Bytes f = sio::formatFrame(size);
        bool zeros = true;
        for (std::size_t i = 2; i + 1 < f.size(); ++i)
            zeros = zeros && f[i] == 0;
        check(f.size() == size + 1u && f[0] == 0xFF && f[1] == 0xFF && zeros && f.back() == 0xFF,
              "format answer of " + std::to_string(size) + " bytes: FF FF, zeros, sum FF");
    }
}

// The files the drive serves from: a header it accepts and sectors where it looks for them.
void images(const std::string& work)
{
    const AtrImage single(720, 128), dd(720, 256);
    check(single.file().size() == 92176 &&
              startsWith(single.file(), {0x96, 0x02, 0x80, 0x16, 0x80, 0x00, 0x00}),
          "720 x 128: 92,176 bytes, header 96 02 80 16 80 00 00");
    check(dd.file().size() == 183952 &&
              startsWith(dd.file(), {0x96, 0x02, 0xE8, 0x2C, 0x00, 0x01, 0x00}),
          "720 x 256: 183,952 bytes, header 96 02 E8 2C 00 01 00");
    AtrImage probe(720, 256);
    probe.sector(3)[0] = 0xA3;
    probe.sector(4)[0] = 0xA4;
    check(probe.sector(3).size() == 128 && probe.file()[16 + 256] == 0xA3 &&
              probe.sector(4).size() == 256 && probe.file()[400] == 0xA4 && probe.sector(721).empty(),
          "double density: sectors 1-3 of 128 bytes, sector 4 at offset 400, none past 720");

    const std::string path = work + "/enhanced.atr";
    AtrImage enhanced(1040, 128);
    enhanced.sector(1040)[127] = 0x5A;
    check(enhanced.save(path), "an image is saved");
    const auto back = AtrImage::load(path);
    check(back && back->sectorCount() == 1040 && back->sectorSize() == 128 &&
              !back->firstDifference(enhanced),
          "an image read back has the geometry of its header and the same bytes");
    check(windowsPath("/tmp/a/b.atr") == "Z:\\tmp\\a\\b.atr", "Wine's name for a Unix path");
}

// The demo disk must boot: sector 1 is a boot record loaded at 0x0700 whose continuation the
// system calls at 0x0706, and it names the number of boot sectors.
void demoDisk()
{
    const AtrImage demo = makeDemoImage();
    const auto boot = demo.sector(1);
    check(demo.sectorCount() == 720 && demo.sectorSize() == 128, "the demo disk is 720 x 128");
    check(bootSectorCount(demo) == 3 && boot[0] == 0x00 && boot[2] == 0x00 && boot[3] == 0x07,
          "boot record: no flags, three sectors, loaded at 0x0700");
    check(boot[6] == 0xA9 && boot[0x20] == 0xA9, "code at 0x0706 and at the run address 0x0720");
    const auto dir = demo.sector(361);
    check(dir[0] == 0x42 && std::memcmp(&dir[5], "README  TXT", 11) == 0 &&
              demo.sector(360)[0] == 2,
          "a DOS 2 table of contents and directory with one file");
    bool distinct = true;
    for (std::uint16_t n = 370; n <= 720; ++n)
        distinct = distinct && demo.sector(n)[0] == (n & 0xFF) && demo.sector(n)[1] == (n >> 8);
    check(distinct, "every other sector carries its own number");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3 || std::strcmp(argv[1], "--work") != 0) {
        std::printf("usage: computer_parts_test --work DIR\n");
        return 2;
    }
    std::filesystem::create_directories(argv[2]);
    checksums();
    answers();
    images(argv[2]);
    demoDisk();
    if (failures == 0)
        std::printf("simulated computer's parts: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
