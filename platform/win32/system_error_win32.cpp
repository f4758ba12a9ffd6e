// Last error and system message texts on Windows.
#include "platform/system_error.h"

#include "platform/win32/windows_api.h"

namespace platform {

std::uint32_t lastError() { return GetLastError(); }
void setLastError(std::uint32_t code) { SetLastError(code); }

std::string systemErrorText(std::uint32_t code) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string result = (n && text) ? std::string(text, n) : std::string();
    if (text) LocalFree(text);
    return result;
}

std::uint32_t errorAccessDenied() { return ERROR_ACCESS_DENIED; }
std::uint32_t errorNameTooLong() { return ERROR_FILENAME_EXCED_RANGE; }

}  // namespace platform
