// Text conversion between the emulator's ANSI text and automation strings.
#include "server/text_conversion.h"

AnsiText::AnsiText(BSTR text) {
    if (!text) return;
    has_ = true;
    // UTF-8 holds every character, and takes neither the flag nor the question.
    const bool utf8 = GetACP() == CP_UTF8;
    const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL replaced = FALSE;
    BOOL* askReplaced = utf8 ? nullptr : &replaced;
    const int n = WideCharToMultiByte(CP_ACP, flags, text, -1, nullptr, 0, nullptr, askReplaced);
    buffer_.assign(static_cast<std::size_t>(n > 0 ? n : 1), '\0');
    const int written = n > 0 ? WideCharToMultiByte(CP_ACP, flags, text, -1, buffer_.data(), n, nullptr, askReplaced) : 0;
    exact_ = written > 0 && !replaced;
}

BSTR toBstr(const char* text) {
    if (!text) text = "";
    const int k = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0) - 1;
    BSTR s = SysAllocStringLen(nullptr, static_cast<UINT>(k < 0 ? 0 : k));
    // The allocation holds k units and a terminator: convert both.
    if (s && k > 0) MultiByteToWideChar(CP_ACP, 0, text, -1, s, k + 1);
    return s;
}

BSTR toBstr(std::string_view text) {
    const std::string copy(text.substr(0, text.find('\0')));
    return toBstr(copy.c_str());
}
