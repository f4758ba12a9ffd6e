// Text conversion between the emulator's ANSI text and automation strings.
#include "server/text_conversion.h"

AnsiText::AnsiText(BSTR text) {
    if (!text) return;
    has_ = true;
    int n = 0;
    while (text[n]) ++n;
    buffer_.assign(static_cast<std::size_t>(2 * n + 2), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, buffer_.data(), 2 * n + 2, nullptr, nullptr);
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
