// Shared pieces of the envprobe tests: the identifiers as recorded (not taken from the
// build, so that a wrong one in the IDL shows), paths given on the command line, owners.
#pragma once

#include "envprobe/com_ptr.h"

#include <chrono>
#include <optional>
#include <string>
#include <utility>

namespace envprobe_test {

// {2D7D140F-14C1-4111-8ECD-DB99170E6F96}
inline constexpr GUID kClsidTest = {0x2D7D140F, 0x14C1, 0x4111,
                                    {0x8E, 0xCD, 0xDB, 0x99, 0x17, 0x0E, 0x6F, 0x96}};
// {B0A144EC-6A40-40D2-98BB-68CF42CB0B4C}
inline constexpr GUID kIidTest = {0xB0A144EC, 0x6A40, 0x40D2,
                                  {0x98, 0xBB, 0x68, 0xCF, 0x42, 0xCB, 0x0B, 0x4C}};
// {69653CFB-C5C1-4B91-818C-0B3764C04C62}
inline constexpr GUID kLibid = {0x69653CFB, 0xC5C1, 0x4B91,
                                {0x81, 0x8C, 0x0B, 0x37, 0x64, 0xC0, 0x4C, 0x62}};
inline constexpr wchar_t kClsidText[] = L"{2D7D140F-14C1-4111-8ECD-DB99170E6F96}";
inline constexpr wchar_t kIidText[] = L"{B0A144EC-6A40-40D2-98BB-68CF42CB0B4C}";
inline constexpr wchar_t kLibidText[] = L"{69653CFB-C5C1-4B91-818C-0B3764C04C62}";
inline constexpr wchar_t kTypeLibMarshalerText[] = L"{00020424-0000-0000-C000-000000000046}";
inline constexpr wchar_t kProgId[] = L"envprobe.Test";
inline constexpr DISPID kTestItDispId = 0x60030000;
inline constexpr wchar_t kAnswer[] = L"Orvalle";

// --exe=PATH (envprobe.exe) and --tlb=PATH (the library widl built), as Windows paths.
const std::wstring& exePath();
const std::wstring& tlbPath();

// A Unix path (as CMake gives it) as Wine sees it on drive Z:; a Windows path as it is.
std::wstring windowsPath(const std::string& path);

std::string narrow(const std::wstring& text);
bool sameTextIgnoringCase(const std::wstring& a, const std::wstring& b);

// A kernel handle that is null or INVALID_HANDLE_VALUE when empty.
class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h) {}
    Handle(Handle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            close();
            h_ = std::exchange(other.h_, nullptr);
        }
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { close(); }
    HANDLE get() const { return h_; }
    bool valid() const { return h_ && h_ != INVALID_HANDLE_VALUE; }

private:
    void close() {
        if (valid()) CloseHandle(h_);
        h_ = nullptr;
    }
    HANDLE h_ = nullptr;
};

// Runs envprobe.exe with `arguments` and returns its exit code, or nothing when it did not
// end within `limit` (it is then terminated: it is our own child).
std::optional<DWORD> runEnvprobe(const std::wstring& arguments,
                                 std::chrono::milliseconds limit = std::chrono::seconds(60));

}  // namespace envprobe_test
