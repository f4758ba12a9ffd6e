// UTF-8 and UTF-16 for the console front end: it thinks in UTF-8, COM speaks UTF-16.
#pragma once

#include <string>

namespace console {

std::wstring widen(const std::string& text);
std::string narrow(const wchar_t* text, std::size_t length);
inline std::string narrow(const std::wstring& text) { return narrow(text.data(), text.size()); }

}  // namespace console
