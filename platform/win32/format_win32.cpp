// Bounded formatting on Windows: wvsprintfA, which stops at 1023 characters by itself.
#include "platform/format.h"

#include <cstring>

#include "platform/win32/windows_api.h"

namespace platform {

std::size_t formatTextV(char* out, std::size_t size, const char* format, std::va_list args) {
    if (!out || size == 0) return 0;
    char full[kFormatLimit + 1];  // wvsprintfA writes up to 1024 bytes, terminator included
    int n = wvsprintfA(full, format, args);
    if (n < 0) n = 0;
    std::size_t stored = static_cast<std::size_t>(n);
    if (stored > kFormatLimit) stored = kFormatLimit;
    if (stored > size - 1) stored = size - 1;
    std::memcpy(out, full, stored);
    out[stored] = '\0';
    return stored;
}

std::size_t formatText(char* out, std::size_t size, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const std::size_t n = formatTextV(out, size, format, args);
    va_end(args);
    return n;
}

}  // namespace platform
