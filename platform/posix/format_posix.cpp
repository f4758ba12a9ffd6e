// Bounded formatting on POSIX: vsnprintf held to the 1023 characters of wsprintfA.
#include "platform/format.h"

#include <cstdio>

namespace platform {

std::size_t formatTextV(char* out, std::size_t size, const char* format, std::va_list args) {
    if (!out || size == 0) return 0;
    const std::size_t room = size - 1 < kFormatLimit ? size : kFormatLimit + 1;
    const int n = std::vsnprintf(out, room, format, args);
    if (n < 0) {
        out[0] = '\0';
        return 0;
    }
    return static_cast<std::size_t>(n) < room ? static_cast<std::size_t>(n) : room - 1;
}

std::size_t formatText(char* out, std::size_t size, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const std::size_t n = formatTextV(out, size, format, args);
    va_end(args);
    return n;
}

}  // namespace platform
