// The reader thread: it owns its copy of what it needs, so that it may outlive the watcher.
#include "stdin_watcher.h"

#include <string>

namespace {

struct Reader {
    HANDLE input;
    HWND window;
};

bool isQuit(std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    const std::size_t first = line.find_first_not_of(" \t");
    return first != std::string::npos && line.substr(first) == "quit";
}

DWORD WINAPI readLines(void* context) {
    const Reader reader = *static_cast<Reader*>(context);
    delete static_cast<Reader*>(context);
    std::string line;
    char buffer[512];
    DWORD n = 0;
    bool quit = false;
    while (!quit && ReadFile(reader.input, buffer, sizeof buffer, &n, nullptr) && n > 0) {
        for (DWORD i = 0; i < n && !quit; ++i) {
            if (buffer[i] != '\n') {
                line += buffer[i];
                continue;
            }
            quit = isQuit(line);
            line.clear();
        }
    }
    // "quit", or the end of the input (or a read that failed or was cancelled).
    PostMessageW(reader.window, WM_CLOSE, 0, 0);
    return 0;
}

}  // namespace

StdinWatcher::StdinWatcher(HWND window) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE || GetFileType(input) != FILE_TYPE_PIPE) return;
    auto* reader = new Reader{input, window};
    thread_ = CreateThread(nullptr, 0, readLines, reader, 0, nullptr);
    if (!thread_) delete reader;
}

StdinWatcher::~StdinWatcher() {
    if (!thread_) return;
    if (WaitForSingleObject(thread_, 0) == WAIT_TIMEOUT) {
        CancelSynchronousIo(thread_);
        WaitForSingleObject(thread_, 2000);
    }
    CloseHandle(thread_);
}
