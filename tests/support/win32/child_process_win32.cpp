#include "tests/support/win32/child_process.h"

#include <cstdio>

namespace {

constexpr DWORD kKillMs = 20000;
constexpr int kStartTries = 3;

std::string narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

}  // namespace

ChildProcess::ChildProcess(const std::wstring& program, const std::wstring& arguments) : name_(narrow(program)) {
    // A start that fails never ran the program, so trying again retries nothing of what a
    // test checks; the reason is printed so that a machine where starts fail shows it.
    for (int attempt = 1; attempt <= kStartTries && !process_; ++attempt) {
        std::wstring line = L"\"" + program + L"\" " + arguments;
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
            CloseHandle(pi.hThread);
            process_ = pi.hProcess;
        } else {
            std::fprintf(stderr, "could not start %s (try %d of %d): error %lu\n", name_.c_str(), attempt,
                         kStartTries, GetLastError());
        }
    }
}

ChildProcess::~ChildProcess() {
    if (!process_) return;
    if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
        std::fprintf(stderr, "ending %s, left running\n", name_.c_str());
        kill();
    }
    CloseHandle(process_);
}

bool ChildProcess::endsWithin(DWORD ms) const { return process_ && WaitForSingleObject(process_, ms) == WAIT_OBJECT_0; }

bool ChildProcess::servingWithin(DWORD ms) const { return process_ && WaitForInputIdle(process_, ms) == 0; }

DWORD ChildProcess::exitCode(DWORD timeoutMs) const {
    if (!process_) return 0xFFFFFFFF;
    if (!endsWithin(timeoutMs)) {
        std::fprintf(stderr, "%s is still running after %lu ms\n", name_.c_str(), timeoutMs);
        return 0xFFFFFFFF;
    }
    DWORD code = 0xFFFFFFFF;
    if (!GetExitCodeProcess(process_, &code))
        std::fprintf(stderr, "no exit code for %s: error %lu\n", name_.c_str(), GetLastError());
    return code;
}

void ChildProcess::kill() {
    if (!process_) return;
    if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) TerminateProcess(process_, 99);
    WaitForSingleObject(process_, kKillMs);
}

DWORD runToEnd(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs) {
    return ChildProcess(program, arguments).exitCode(timeoutMs);
}
