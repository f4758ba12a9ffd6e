// Bounded formatting like wsprintfA: output stops at 1023 characters and is always terminated.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace platform {

inline constexpr std::size_t kFormatLimit = 1023;

// Writes at most min(size - 1, kFormatLimit) characters and the terminating zero; returns
// the number of characters stored. Supports %s, %d, %u and %02x-style conversions.
std::size_t formatText(char* out, std::size_t size, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
std::size_t formatTextV(char* out, std::size_t size, const char* format, std::va_list args);

}  // namespace platform
