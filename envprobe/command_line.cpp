// Command-line switches of envprobe.
#include "envprobe/command_line.h"

#include <cwctype>
#include <string_view>

namespace envprobe {
namespace {

bool sameText(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::towlower(a[i]) != std::towlower(b[i])) return false;
    }
    return true;
}

bool isSpace(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

}  // namespace

Mode parseCommandLine(const wchar_t* arguments) {
    std::wstring_view rest = arguments ? arguments : L"";
    while (!rest.empty() && isSpace(rest.front())) rest.remove_prefix(1);
    while (!rest.empty() && isSpace(rest.back())) rest.remove_suffix(1);
    if (rest.empty()) return Mode::Serve;
    for (wchar_t c : rest) {
        if (isSpace(c)) return Mode::Invalid;
    }
    if (rest.front() != L'-' && rest.front() != L'/') return Mode::Invalid;
    rest.remove_prefix(1);
    if (sameText(rest, L"RegServer")) return Mode::Register;
    if (sameText(rest, L"UnregServer")) return Mode::Unregister;
    if (sameText(rest, L"Embedding") || sameText(rest, L"Automation")) return Mode::Serve;
    return Mode::Invalid;
}

}  // namespace envprobe
