// A program a test starts under Windows, owned until it ends.
#pragma once

#include <string>

#include "platform/win32/windows_api.h"

class ChildProcess {
public:
    // The program's path is quoted; the arguments follow as they are.
    ChildProcess(const std::wstring& program, const std::wstring& arguments);
    // One still running when its owner goes is ended, so that a failing test leaves no
    // process behind.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return process_ != nullptr; }
    HANDLE process() const { return process_; }
    bool endsWithin(DWORD ms) const;
    // A server reaches its message loop only after it has registered its class object.
    bool servingWithin(DWORD ms) const;
    // Its exit code once it has ended, or 0xFFFFFFFF (with the reason on stderr) when it did
    // not start or is still running after timeoutMs.
    DWORD exitCode(DWORD timeoutMs = 0) const;
    void kill();

private:
    std::string name_;  // for the reasons it prints
    HANDLE process_ = nullptr;
};

// Runs a program to its end: its exit code, or 0xFFFFFFFF as above.
DWORD runToEnd(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs = 60000);
