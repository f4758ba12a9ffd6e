// Last error and system message texts on POSIX: errno and strerror.
#include "platform/system_error.h"

#include <cerrno>
#include <cstring>

namespace platform {

std::uint32_t lastError() { return static_cast<std::uint32_t>(errno); }
void setLastError(std::uint32_t code) { errno = static_cast<int>(code); }

std::string systemErrorText(std::uint32_t code) {
    char buffer[256] = {};
    // The GNU strerror_r returns its text, which may or may not be the buffer.
    const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    return text ? std::string(text) : std::string();
}

std::uint32_t errorAccessDenied() { return EACCES; }
std::uint32_t errorNameTooLong() { return ENAMETOOLONG; }

}  // namespace platform
