// What the fuzz programs share: the check that keeps an input that breaks a rule, a reporter
// that keeps quiet, a scratch directory of the process's own and whole-file helpers.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "serial/reporter.h"

// A broken rule: says which, then traps, and libFuzzer keeps the input as a crash.
[[gnu::format(printf, 2, 3)]] inline void require(bool holds, const char* format, ...) {
    if (holds) return;
    std::va_list args;
    va_start(args, format);
    std::fputs("broken rule: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    __builtin_trap();
}

// Millions of runs: nothing is printed or queued.
class QuietReporter : public IReporter {
public:
    void postCommand(std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t,
                     std::uint32_t, const char*) override {}
    void postUnknownCommand(std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t,
                            std::uint32_t, const char*) override {}

protected:
    void reportStatus(const char*) override {}
    void reportDebug(const char*) override {}
    void reportError(std::uint32_t, const char*, const char*, const char*, bool) override {}
};

// Made once per process (mkdtemp), removed at a normal exit; a crash leaves it for a look.
class ScratchDir {
public:
    static ScratchDir& instance() {
        static ScratchDir dir;
        return dir;
    }
    std::string path(const char* name) const { return (dir_ / name).string(); }

private:
    ScratchDir() {
        std::string name = (std::filesystem::temp_directory_path() / "vandrel-fuzz-XXXXXX").string();
        require(mkdtemp(name.data()) != nullptr, "no scratch directory in %s", name.c_str());
        dir_ = name;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::filesystem::path dir_;
};

inline void writeWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    require(f != nullptr, "cannot write %s", path.c_str());
    const bool written = size == 0 || std::fwrite(data, 1, size, f) == size;
    require(std::fclose(f) == 0 && written, "cannot write %s", path.c_str());
}

inline std::vector<std::uint8_t> readWholeFile(const std::string& path) {
    std::vector<std::uint8_t> bytes;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    require(f != nullptr, "cannot read %s", path.c_str());
    std::uint8_t chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, f)) > 0;) bytes.insert(bytes.end(), chunk, chunk + got);
    std::fclose(f);
    return bytes;
}

// Where a sector lies in an ATR file: sectors 1-3 take 128 bytes whatever the sector size.
inline std::uint64_t atrSectorPlace(std::uint32_t sector, std::uint32_t sectorSize) {
    return sector <= 3 ? 16 + 128ull * (sector - 1) : 16 + 384 + std::uint64_t{sectorSize} * (sector - 4);
}
