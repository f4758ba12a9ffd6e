// GetOpenFileName and GetSaveFileName, which every Windows since 95 has.
#include "file_dialogs.h"

#include <commdlg.h>

#include <algorithm>

namespace {

constexpr wchar_t kImages[] = L"Disk images (*.atr)\0*.atr\0All files (*.*)\0*.*\0";
constexpr wchar_t kLogs[] = L"Text files (*.txt)\0*.txt\0All files (*.*)\0*.*\0";

// The dialog's request, writing the chosen name(s) into buffer.
OPENFILENAMEW request(HWND owner, const wchar_t* filter, std::wstring& buffer) {
    OPENFILENAMEW o{};
    o.lStructSize = sizeof o;
    o.hwndOwner = owner;
    o.lpstrFilter = filter;
    o.lpstrFile = buffer.data();
    o.nMaxFile = static_cast<DWORD>(buffer.size());
    return o;
}

std::optional<std::wstring> save(HWND owner, const wchar_t* filter, const wchar_t* extension,
                                 const std::wstring& suggested) {
    std::wstring name(MAX_PATH, L'\0');
    const std::size_t n = std::min(suggested.size(), name.size() - 1);
    name.replace(0, n, suggested, 0, n);
    OPENFILENAMEW o = request(owner, filter, name);
    o.lpstrDefExt = extension;
    o.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    if (!GetSaveFileNameW(&o)) return std::nullopt;
    name.resize(wcsnlen(name.c_str(), name.size()));
    return name;
}

}  // namespace

std::vector<std::wstring> FileDialogs::openImages(HWND owner) {
    std::wstring buffer(32768, L'\0');
    OPENFILENAMEW o = request(owner, kImages, buffer);
    o.Flags = OFN_EXPLORER | OFN_ALLOWMULTISELECT | OFN_FILEMUSTEXIST | OFN_HIDEREADONLY;
    if (!GetOpenFileNameW(&o)) return {};
    // One file: its full path. Several: the folder, then each name, each ended by a null.
    std::vector<std::wstring> parts;
    for (const wchar_t* p = buffer.c_str(); *p; p += wcslen(p) + 1) parts.emplace_back(p);
    if (parts.size() <= 1) return parts;
    std::wstring folder = parts.front();
    if (folder.back() != L'\\') folder += L'\\';
    std::vector<std::wstring> paths;
    for (std::size_t i = 1; i < parts.size(); ++i) paths.push_back(folder + parts[i]);
    return paths;
}

std::optional<std::wstring> FileDialogs::saveImage(HWND owner, const std::wstring& suggested) {
    return save(owner, kImages, L"atr", suggested.empty() ? L"new.atr" : suggested);
}

std::optional<std::wstring> FileDialogs::saveLog(HWND owner) { return save(owner, kLogs, L"txt", L"vandrel-log.txt"); }
