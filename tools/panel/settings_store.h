// What the panel remembers for the user between runs: the port, the mounted images with
// their read-only flags, and the window's place. Kept in HKEY_CURRENT_USER under one key:
//   Port         DWORD   1-9 (absent: none chosen)
//   D1 ... D9    REG_SZ  the image's full path (absent: the drive is empty)
//   D1ReadOnly   DWORD   1 when mounted read-only
//   Placement    BINARY  the window's WINDOWPLACEMENT
#pragma once

#include <array>
#include <optional>
#include <string>
#include <utility>

#include "platform/win32/windows_api.h"

struct MountSetting {
    std::wstring path;  // empty: nothing mounted
    bool readOnly = false;
};

struct PanelSettings {
    int port = 0;  // 0: none chosen
    std::array<MountSetting, 9> drives;
    std::optional<WINDOWPLACEMENT> placement;
};

class SettingsStore {
public:
    static constexpr const wchar_t* kDefaultKey = L"Software\\Vandrel\\Panel";

    explicit SettingsStore(std::wstring keyPath = kDefaultKey) : keyPath_(std::move(keyPath)) {}

    // What was saved; the defaults where nothing was (or the key cannot be read).
    PanelSettings load() const;
    // False when the key cannot be written.
    bool save(const PanelSettings& settings) const;

private:
    std::wstring keyPath_;
};
