// Timestamped lines on standard output; the clock is the local time of day.
#include "trace_writer.h"

#include "platform/win32/windows_api.h"
#include "tools/console/event_text.h"
#include "tools/console/wide_text.h"

namespace console {
namespace {

bool isConsole(HANDLE h) {
    DWORD mode = 0;
    return GetConsoleMode(h, &mode) != 0;
}

std::string now() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return timestampText(t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
}

}  // namespace

TraceWriter::TraceWriter()
    : console_(isConsole(GetStdHandle(STD_OUTPUT_HANDLE))),
      codePage_(GetConsoleOutputCP() != 0 ? GetConsoleOutputCP() : GetACP()) {}

bool TraceWriter::openLog(const std::string& path, std::string* error) {
    std::FILE* f = _wfopen(widen(path).c_str(), L"ab");
    if (!f) {
        *error = "cannot open the log file " + path;
        return false;
    }
    std::lock_guard<std::mutex> hold(lock_);
    log_.reset(f);
    return true;
}

void TraceWriter::toScreen(const std::wstring& text) {
    if (console_) {
        DWORD written = 0;
        WriteConsoleW(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const std::string bytes = narrow(text.data(), text.size(), codePage_);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

void TraceWriter::line(Kind kind, const std::string& text) {
    const std::string whole = now() + text;
    std::lock_guard<std::mutex> hold(lock_);
    if (log_) {
        std::fputs((whole + "\n").c_str(), log_.get());
        std::fflush(log_.get());
    }
    if (quiet_ && (kind == Kind::Command || kind == Kind::Debug)) return;
    // A pipe or a file gets plain line ends, as the C library would write them.
    toScreen(console_ ? prompt_.traceLine(widen(whole)) : widen(whole + "\n"));
}

void TraceWriter::plain(const std::string& text) {
    std::lock_guard<std::mutex> hold(lock_);
    toScreen(widen(text));
}

void TraceWriter::problem(const std::string& text) {
    std::lock_guard<std::mutex> hold(lock_);
    std::fflush(stdout);
    const std::wstring wide = widen("vandrel-console: " + text + "\n");
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (isConsole(err)) {
        DWORD written = 0;
        WriteConsoleW(err, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    } else {
        const std::string bytes = narrow(wide.data(), wide.size(), codePage_);
        std::fwrite(bytes.data(), 1, bytes.size(), stderr);
        std::fflush(stderr);
    }
}

void TraceWriter::showPrompt() {
    std::lock_guard<std::mutex> hold(lock_);
    toScreen(prompt_.show());
}

void TraceWriter::type(wchar_t key) {
    std::lock_guard<std::mutex> hold(lock_);
    toScreen(prompt_.type(key));
}

std::string TraceWriter::enter() {
    std::lock_guard<std::mutex> hold(lock_);
    std::wstring typed;
    toScreen(prompt_.enter(&typed));
    return narrow(typed);
}

}  // namespace console
