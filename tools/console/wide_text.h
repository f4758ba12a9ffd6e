// UTF-8 and UTF-16 for the console front end: it thinks in UTF-8, COM speaks UTF-16. Pipes
// and files speak a code page, given by its number.
#pragma once

#include <string>

namespace console {

constexpr unsigned kUtf8 = 65001;

std::wstring widen(const std::string& text, unsigned codePage = kUtf8);
std::string narrow(const wchar_t* text, std::size_t length, unsigned codePage = kUtf8);
inline std::string narrow(const std::wstring& text) { return narrow(text.data(), text.size()); }

}  // namespace console
