// Keys from ReadConsoleInputW; bytes from the C library, converted through the code page.
#include "tools/console/console_input.h"

#include <cstdio>

#include "tools/console/wide_text.h"

namespace console {

bool inputIsConsole() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

KeyByKeyInput::KeyByKeyInput() : input_(GetStdHandle(STD_INPUT_HANDLE)) {
    if (!GetConsoleMode(input_, &oldMode_)) return;
    // Ctrl+C stays with the system, which calls the control handler.
    const DWORD mode = (oldMode_ & ~DWORD{ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT}) | ENABLE_PROCESSED_INPUT;
    changed_ = SetConsoleMode(input_, mode) != 0;
}

KeyByKeyInput::~KeyByKeyInput() {
    if (changed_) SetConsoleMode(input_, oldMode_);
}

InputLines::Reader KeyByKeyInput::reader(TraceWriter& out) {
    return [&out](std::string* line) {
        const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
        for (;;) {
            INPUT_RECORD record;
            DWORD n = 0;
            if (!ReadConsoleInputW(in, &record, 1, &n)) return false;
            if (n == 0 || record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) continue;
            const wchar_t key = record.Event.KeyEvent.uChar.UnicodeChar;
            if (key == 0x1A) return false;  // Ctrl+Z
            if (key == L'\r') {
                *line = out.enter();
                return true;
            }
            for (WORD i = 0; key && i < record.Event.KeyEvent.wRepeatCount; ++i) out.type(key);
        }
    };
}

InputLines::Reader pipeReader() {
    const unsigned codePage = GetConsoleCP() != 0 ? GetConsoleCP() : GetACP();
    return [codePage](std::string* line) {
        std::string bytes;
        char buffer[4096];
        while (std::fgets(buffer, sizeof buffer, stdin)) {
            bytes += buffer;
            if (bytes.back() == '\n') break;  // otherwise the rest of a long line follows
        }
        if (bytes.empty()) return false;
        while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r')) bytes.pop_back();
        *line = narrow(widen(bytes, codePage));
        return true;
    };
}

}  // namespace console
