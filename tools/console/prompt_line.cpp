// Redrawing works with carriage returns and blanks alone, which every console understands.
#include "tools/console/prompt_line.h"

namespace console {

std::wstring PromptLine::show() {
    shown_ = true;
    return prompt_ + typed_;
}

std::wstring PromptLine::type(wchar_t key) {
    if (key == L'\b') {
        if (typed_.empty()) return {};
        typed_.pop_back();
        return shown_ ? L"\b \b" : L"";
    }
    if (key < L' ') return {};  // other control keys have no place in a command
    typed_ += key;
    return shown_ ? std::wstring(1, key) : L"";
}

std::wstring PromptLine::enter(std::wstring* line) {
    *line = std::move(typed_);
    typed_.clear();
    const bool wasShown = shown_;
    shown_ = false;
    return wasShown ? L"\r\n" : L"";
}

std::wstring PromptLine::traceLine(const std::wstring& line) const {
    if (!shown_) return line + L"\r\n";
    const std::wstring current = prompt_ + typed_;
    // Blank out the prompt line, write the trace line in its place, and draw the prompt anew.
    return L"\r" + std::wstring(current.size(), L' ') + L"\r" + line + L"\r\n" + current;
}

}  // namespace console
