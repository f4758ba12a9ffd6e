// The prompt of an interactive console, kept last on the screen: a trace line that comes while
// someone types is written above the prompt, and the prompt with what has been typed so far
// is drawn again under it. Portable: each step returns the text to write, nothing more.
#pragma once

#include <string>

namespace console {

class PromptLine {
public:
    explicit PromptLine(std::wstring prompt) : prompt_(std::move(prompt)) {}

    // The prompt appears, with anything typed ahead of it.
    std::wstring show();
    // One key: a character is echoed; a backspace takes the last one back.
    std::wstring type(wchar_t key);
    // Enter: the typed line goes to *line, and the prompt is gone until the next show().
    std::wstring enter(std::wstring* line);
    // A trace line (without its line end), above the prompt when it is shown.
    std::wstring traceLine(const std::wstring& line) const;

private:
    std::wstring prompt_;
    std::wstring typed_;
    bool shown_ = false;
};

}  // namespace console
