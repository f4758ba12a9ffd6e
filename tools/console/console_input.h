// Where the prompt's lines come from: an interactive console, read key by key so that trace
// lines can be written above what is being typed; or a pipe or file, whose bytes are in the
// console's input code page (the system's when there is no console). Lines come in UTF-8.
#pragma once

#include "platform/win32/windows_api.h"
#include "tools/console/input_lines.h"
#include "tools/console/trace_writer.h"

namespace console {

// Owns the console's input mode while keys are read one by one, and gives the old mode back.
class KeyByKeyInput {
public:
    KeyByKeyInput();
    ~KeyByKeyInput();
    KeyByKeyInput(const KeyByKeyInput&) = delete;
    KeyByKeyInput& operator=(const KeyByKeyInput&) = delete;

    // Lines typed at the console, echoed through out's prompt. Ctrl+Z ends the input.
    static InputLines::Reader reader(TraceWriter& out);

private:
    HANDLE input_;
    DWORD oldMode_ = 0;
    bool changed_ = false;
};

// True when standard input is an interactive console.
bool inputIsConsole();
// Lines of a pipe or a file.
InputLines::Reader pipeReader();

}  // namespace console
