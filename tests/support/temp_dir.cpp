// Per-test directories and whole-file helpers.
#include "tests/support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <iterator>
#include <random>

namespace fs = std::filesystem;

TempDir::TempDir() {
    static std::atomic<unsigned> serial{0};
    std::random_device seed;
    const std::string name = "vandrel-test-" + std::to_string(seed()) + "-" +
                             std::to_string(serial++);
    dir_ = fs::temp_directory_path() / name;
    fs::create_directories(dir_);
}

TempDir::~TempDir() {
    std::error_code ignored;
    for (const auto& entry : fs::recursive_directory_iterator(dir_, ignored))
        platform::clearReadOnlyAttribute(entry.path().string().c_str());
    fs::remove_all(dir_, ignored);
}

std::vector<unsigned char> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
