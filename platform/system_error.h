// The system's last error number and its text, as reported in Error notifications.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// GetLastError on Windows, errno elsewhere.
std::uint32_t lastError();
void setLastError(std::uint32_t code);

// The system's message for code, or "" when the system has none.
std::string systemErrorText(std::uint32_t code);

// Numbers whose meaning the code depends on, in this system's own numbering.
std::uint32_t errorAccessDenied();   // 5 on Windows, EACCES elsewhere
std::uint32_t errorNameTooLong();    // ERROR_FILENAME_EXCED_RANGE on Windows, ENAMETOOLONG elsewhere

}  // namespace platform
