#include "atr_image.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace rig {

namespace {

constexpr std::size_t kHeader = 16;

}  // namespace

AtrImage::AtrImage(std::uint16_t sectorCount, std::uint16_t sectorSize)
    : sectorCount_(sectorCount), sectorSize_(sectorSize)
{
    const std::size_t small = std::min<std::size_t>(sectorCount, 3);
    const std::size_t body = small * 128 + (sectorCount - small) * std::size_t{sectorSize};
    file_.assign(kHeader + body, 0);
    const std::size_t paragraphs = body / 16;
    file_[0] = 0x96;
    file_[1] = 0x02;
    file_[2] = static_cast<std::uint8_t>(paragraphs & 0xFF);
    file_[3] = static_cast<std::uint8_t>((paragraphs >> 8) & 0xFF);
    file_[4] = static_cast<std::uint8_t>(sectorSize & 0xFF);
    file_[5] = static_cast<std::uint8_t>(sectorSize >> 8);
    file_[6] = static_cast<std::uint8_t>((paragraphs >> 16) & 0xFF);
}

std::optional<AtrImage> AtrImage::load(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    AtrImage image;
    image.file_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    const Bytes& f = image.file_;
    if (f.size() < kHeader || f[0] != 0x96 || f[1] != 0x02)
        return std::nullopt;
    image.sectorSize_ = static_cast<std::uint16_t>(f[4] | f[5] << 8);
    const std::size_t paragraphs = f[2] | f[3] << 8 | std::size_t{f[6]} << 16;
    if (image.sectorSize_ == 0 || paragraphs * 16 < 384)
        return std::nullopt;
    image.sectorCount_ = static_cast<std::uint16_t>((paragraphs * 16 - 384) / image.sectorSize_ + 3);
    return image;
}

bool AtrImage::save(const std::string& path) const
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(file_.data()), static_cast<std::streamsize>(file_.size()));
    return static_cast<bool>(out.flush());
}

std::size_t AtrImage::offsetOf(std::uint16_t sector) const
{
    return sector <= 3 ? kHeader + 128u * (sector - 1u)
                       : kHeader + 3u * 128u + std::size_t{sectorSize_} * (sector - 4u);
}

std::span<std::uint8_t> AtrImage::sector(std::uint16_t sector)
{
    if (sector == 0 || sector > sectorCount_ || offsetOf(sector) + sizeOf(sector) > file_.size())
        return {};
    return {file_.data() + offsetOf(sector), sizeOf(sector)};
}

std::span<const std::uint8_t> AtrImage::sector(std::uint16_t sector) const
{
    return const_cast<AtrImage*>(this)->sector(sector);
}

std::optional<std::size_t> AtrImage::firstDifference(const AtrImage& other) const
{
    const auto [mine, theirs] =
        std::mismatch(file_.begin(), file_.end(), other.file_.begin(), other.file_.end());
    if (mine == file_.end() && theirs == other.file_.end())
        return std::nullopt;
    return static_cast<std::size_t>(mine - file_.begin());
}

namespace {

// The boot record, loaded at 0x0700. The system calls 0x0706 once the three sectors are in;
// that sets the run vector (DOSVEC) to 0x0720 and reports success (carry clear). The program
// there sets the playfield colours and then writes the scan line counter to the background
// colour on every line, a moving rainbow that shows the disk booted. The init address points
// at an RTS.
const std::uint8_t kBootCode[] = {
    0x00,              // flags
    0x03,              // boot sectors
    0x00, 0x07,        // load address 0x0700
    0x36, 0x07,        // init address 0x0736
    0xA9, 0x20,        // 0706: LDA #<run
    0x85, 0x0A,        //       STA DOSVEC
    0xA9, 0x07,        //       LDA #>run
    0x85, 0x0B,        //       STA DOSVEC+1
    0x18,              //       CLC
    0x60,              //       RTS
};
const std::uint8_t kRunCode[] = {
    0xA9, 0x94,        // 0720: LDA #$94
    0x8D, 0xC6, 0x02,  //       STA COLOR2
    0xA9, 0x0F,        //       LDA #$0F
    0x8D, 0xC5, 0x02,  //       STA COLOR1
    0xAD, 0x0B, 0xD4,  // 072A: LDA VCOUNT
    0x8D, 0x0A, 0xD4,  //       STA WSYNC
    0x8D, 0x1A, 0xD0,  //       STA COLBK
    0x4C, 0x2A, 0x07,  //       JMP 072A
    0x60,              // 0736: RTS
};
constexpr char kBanner[] =
    "VANDREL DEMO DISK. BOOTED FROM A DRIVE SERVED OVER THE SIO BUS BY THE SIMULATED COMPUTER'S "
    "PEER. THREE BOOT SECTORS, ONE SMALL PROGRAM, AND A RAINBOW.";
constexpr char kReadme[] =
    "THIS DISK WAS MADE BY VANDREL_COMPUTER. EVERY SECTOR OUTSIDE THE BOOT RECORD AND THE "
    "DIRECTORY HOLDS ITS OWN NUMBER.";

constexpr std::uint16_t kVtoc = 360;
constexpr std::uint16_t kReadmeSector = 369;

void fillPattern(std::span<std::uint8_t> s, std::uint16_t n)
{
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<std::uint8_t>(n * 7 + i * 13 + (n >> 8) * 101);
    if (s.size() >= 2) {
        s[0] = static_cast<std::uint8_t>(n & 0xFF);
        s[1] = static_cast<std::uint8_t>(n >> 8);
    }
}

}  // namespace

AtrImage makeDemoImage()
{
    AtrImage image(720, 128);
    for (std::uint16_t n = 4; n <= image.sectorCount(); ++n)
        fillPattern(image.sector(n), n);

    // Boot record: code, the run program at 0x0720, then the banner across sectors 1-3.
    Bytes boot(3 * 128, 0);
    std::copy(std::begin(kBootCode), std::end(kBootCode), boot.begin());
    std::copy(std::begin(kRunCode), std::end(kRunCode), boot.begin() + 0x20);
    std::memcpy(boot.data() + 0x40, kBanner, sizeof kBanner - 1);
    for (std::uint16_t n = 1; n <= 3; ++n)
        std::copy_n(boot.begin() + (n - 1) * 128, 128, image.sector(n).begin());

    // Table of contents: DOS 2, 707 sectors, 706 free; a bit set is a free sector.
    auto vtoc = image.sector(kVtoc);
    std::fill(vtoc.begin(), vtoc.end(), 0);
    vtoc[0] = 2;
    vtoc[1] = 707 & 0xFF;
    vtoc[2] = 707 >> 8;
    vtoc[3] = 706 & 0xFF;
    vtoc[4] = 706 >> 8;
    for (unsigned s = 4; s < 720; ++s) {
        if (s >= kVtoc && s <= kReadmeSector)
            continue;
        vtoc[10 + s / 8] |= static_cast<std::uint8_t>(0x80 >> (s % 8));
    }
    for (std::uint16_t n = 361; n <= 368; ++n) {
        auto dir = image.sector(n);
        std::fill(dir.begin(), dir.end(), 0);
    }
    // One entry: in use, DOS 2 made; one sector from 369; README.TXT.
    const std::uint8_t entry[16] = {0x42, 1, 0, kReadmeSector & 0xFF, kReadmeSector >> 8,
                                    'R', 'E', 'A', 'D', 'M', 'E', ' ', ' ', 'T', 'X', 'T'};
    std::copy(std::begin(entry), std::end(entry), image.sector(361).begin());
    auto text = image.sector(kReadmeSector);
    std::fill(text.begin(), text.end(), 0);
    std::memcpy(text.data(), kReadme, sizeof kReadme - 1);
    text[125] = 0;  // file 0, no next sector
    text[126] = 0;
    text[127] = sizeof kReadme - 1;
    return image;
}

unsigned bootSectorCount(const AtrImage& image)
{
    auto first = image.sector(1);
    return first.size() > 1 ? first[1] : 0;
}

}  // namespace rig
