// Timestamped lines on standard output; the clock is the local time of day.
#include "trace_writer.h"

#include <cstdio>

#include "platform/win32/windows_api.h"
#include "tools/console/event_text.h"

namespace console {

void TraceWriter::line(const std::string& text) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    const std::string whole = timestampText(now.wHour, now.wMinute, now.wSecond, now.wMilliseconds) + text + "\n";
    std::lock_guard<std::mutex> hold(lock_);
    std::fputs(whole.c_str(), stdout);
    std::fflush(stdout);
}

void TraceWriter::plain(const std::string& text) {
    std::lock_guard<std::mutex> hold(lock_);
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

void TraceWriter::problem(const std::string& text) {
    std::lock_guard<std::mutex> hold(lock_);
    std::fflush(stdout);
    std::fputs(("vandrel-console: " + text + "\n").c_str(), stderr);
    std::fflush(stderr);
}

}  // namespace console
