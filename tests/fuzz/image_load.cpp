// Fuzzes ATR loading: any bytes as an image file, mounted read-write and then read-only, with
// every sector served and the status and configuration blocks built. Loading and serving never
// change the file, and a sector serves what the file holds at its place (zeros past the end).
#include <cstdint>
#include <string>
#include <vector>

#include "sio/disk_image.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// Past the end of the file every sector takes the same path: these many are served there,
// and the last two, so that a header of 65535 sectors does not cost 65535 reads.
constexpr unsigned kServedPastEnd = 4;

void serveEverySector(CDiskImage& image, const std::vector<std::uint8_t>& file) {
    const unsigned count = image.getSectorCount();
    const unsigned size = image.getSectorSize();
    require(size >= 1 && size <= CDiskImage::kMaxSectorSize, "mounted with sectors of %u bytes", size);
    unsigned pastEnd = 0;
    for (unsigned s = 1; s <= count; ++s) {
        const std::uint64_t place = atrSectorPlace(s, size);
        if (place >= file.size() && ++pastEnd > kServedPastEnd && s + 2 <= count) continue;
        const auto sector = static_cast<std::uint16_t>(s);
        const std::uint16_t n = image.sectorSizeOf(sector);
        // Exactly the size the contract names: AddressSanitizer sees any byte written beyond.
        std::vector<std::uint8_t> buffer(n);
        const std::uint16_t got = image.readSector(buffer.data(), sector);
        require(got == n, "sector %u of %u x %u: served %u bytes of %u", s, count, size, unsigned{got}, unsigned{n});
        for (unsigned i = 0; i < n; ++i) {
            const std::uint64_t at = place + i;
            const std::uint8_t held = at < file.size() ? file[at] : 0;
            require(buffer[i] == held, "sector %u of %u x %u: byte %u served as %02x, the file holds %02x", s, count,
                    size, i, buffer[i], held);
        }
    }
    image.getStatusBlock();
    image.getConfigBlock();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 65536) return -1;  // keeps the file I/O small; longer inputs add nothing
    static const std::string path = ScratchDir::instance().path("load.atr");
    writeWholeFile(path, data, size);
    const std::vector<std::uint8_t> file(data, data + size);
    QuietReporter reporter;
    for (const bool readOnly : {false, true}) {
        {
            CDiskImage image(reporter);
            if (image.loadImage(path.c_str(), readOnly)) serveEverySector(image, file);
        }
        require(readWholeFile(path) == file, "loading %s and serving its sectors changed the file",
                readOnly ? "read-only" : "read-write");
    }
    return 0;
}
