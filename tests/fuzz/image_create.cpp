// Fuzzes the geometry createImage is asked for: any sector count and sector size, as wide
// signed numbers. Either the image is refused and no file is left, or it mounts back with
// exactly the count and size asked and its file holds every sector.
//
// The input's first half is the count and its second half the size, each little-endian and
// sign-extended from its last byte (at most eight bytes each): two bytes ask for small
// numbers, sixteen for any.
#include <sys/resource.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <string>

#include "sio/disk_image.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// The largest body written: larger geometries that the format can hold are skipped, not
// refused, so that each run stays quick.
constexpr std::int64_t kMaxBody = 1 << 20;

std::int64_t wide(const std::uint8_t* bytes, std::size_t n) {
    if (n == 0) return 0;
    if (n > 8) n = 8;
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v |= std::uint64_t{bytes[i]} << (8 * i);
    if (n < 8 && (bytes[n - 1] & 0x80)) v |= ~std::uint64_t{0} << (8 * n);
    return static_cast<std::int64_t>(v);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A geometry that slips past the checks must not fill the disk: writes beyond this fail
    // (EFBIG) and the image counts as not created, with its file left behind.
    const rlimit limit = {64 << 20, 64 << 20};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, SIG_IGN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 16) return -1;
    const std::int64_t count = wide(data, size / 2);
    const std::int64_t sectorSize = wide(data + size / 2, size - size / 2);
    const bool holdable = count >= 1 && count <= 65535 && sectorSize >= 1 && sectorSize <= 1023;
    if (holdable && (count <= 3 ? 128 * count : 384 + (count - 3) * sectorSize) > kMaxBody) return -1;

    static const std::string path = ScratchDir::instance().path("new.atr");
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    QuietReporter reporter;
    const long long c = count, s = sectorSize;
    if (!CDiskImage(reporter).createImage(path.c_str(), count, sectorSize)) {
        require(!std::filesystem::exists(path), "%lld x %lld refused, but a file was left", c, s);
        return 0;
    }
    CDiskImage image(reporter);
    require(image.loadImage(path.c_str(), true), "%lld x %lld created, but it does not mount", c, s);
    const unsigned mountedCount = image.getSectorCount(), mountedSize = image.getSectorSize();
    require(mountedCount == count && mountedSize == sectorSize, "%lld x %lld created, mounts as %u x %u", c, s,
            mountedCount, mountedSize);
    if (count == 0) return 0;
    const std::uint64_t end = atrSectorPlace(mountedCount, mountedSize) + image.sectorSizeOf(image.getSectorCount());
    const std::uint64_t length = std::filesystem::file_size(path);
    require(length >= end, "%lld x %lld created, but its file of %llu bytes ends before its last sector (%llu)", c,
            s, static_cast<unsigned long long>(length), static_cast<unsigned long long>(end));
    return 0;
}
