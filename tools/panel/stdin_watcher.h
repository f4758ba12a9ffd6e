// The panel's scripting hook: when its standard input is a pipe, a thread reads lines from it,
// and "quit" or the end of the input closes the window (WM_CLOSE), as the close box would.
// Without a pipe there (started from a shortcut), there is no thread.
#pragma once

#include "platform/win32/windows_api.h"

class StdinWatcher {
public:
    explicit StdinWatcher(HWND window);
    // A read still blocked is cancelled and the thread joined (within a bound: a thread left
    // behind touches nothing of this object's and ends with the process).
    ~StdinWatcher();
    StdinWatcher(const StdinWatcher&) = delete;
    StdinWatcher& operator=(const StdinWatcher&) = delete;

    bool watching() const { return thread_ != nullptr; }

private:
    HANDLE thread_ = nullptr;
};
