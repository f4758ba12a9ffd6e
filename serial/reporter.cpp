// IReporter: the formatting every report shares.
#include "serial/reporter.h"

#include <cstdarg>

#include "platform/format.h"

namespace {
constexpr std::size_t kBufferSize = 500;
}  // namespace

void IReporter::postStatus(const char* format, ...) {
    char text[kBufferSize];
    std::va_list args;
    va_start(args, format);
    platform::formatTextV(text, sizeof text, format, args);
    va_end(args);
    reportStatus(text);
}

void IReporter::postDebug(const char* format, ...) {
    char text[kBufferSize];
    std::va_list args;
    va_start(args, format);
    platform::formatTextV(text, sizeof text, format, args);
    va_end(args);
    reportDebug(text);
}

void IReporter::postSystemError(std::uint32_t number, const char* location, const char* operation) {
    reportError(number, location, operation, nullptr, false);
}

void IReporter::postSystemError(std::uint32_t number, const char* location, const char* operation,
                                const char* format, ...) {
    char text[kBufferSize];
    std::va_list args;
    va_start(args, format);
    platform::formatTextV(text, sizeof text, format, args);
    va_end(args);
    reportError(number, location, operation, text, false);
}

void IReporter::postCriticalError(std::uint32_t number, const char* location, const char* operation) {
    reportError(number, location, operation, nullptr, true);
}
