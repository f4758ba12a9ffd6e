// The panel's settings in the registry.
#include "settings_store.h"

#include <cstring>

#include "tools/panel/registry_key.h"

namespace {

std::wstring driveName(std::size_t index) { return L"D" + std::to_wstring(index + 1); }

}  // namespace

PanelSettings SettingsStore::load() const {
    PanelSettings s;
    const RegistryKey key = RegistryKey::open(HKEY_CURRENT_USER, keyPath_, false);
    if (!key.valid()) return s;
    if (const auto port = key.readNumber(L"Port"); port && *port >= 1 && *port <= 9) s.port = static_cast<int>(*port);
    for (std::size_t i = 0; i < s.drives.size(); ++i) {
        s.drives[i].path = key.readText(driveName(i)).value_or(L"");
        s.drives[i].readOnly = key.readNumber(driveName(i) + L"ReadOnly").value_or(0) != 0;
    }
    const std::vector<std::uint8_t> bytes = key.readBytes(L"Placement");
    WINDOWPLACEMENT placement{};
    if (bytes.size() == sizeof placement) {
        std::memcpy(&placement, bytes.data(), sizeof placement);
        if (placement.length == sizeof placement) s.placement = placement;
    }
    return s;
}

bool SettingsStore::save(const PanelSettings& s) const {
    RegistryKey key = RegistryKey::open(HKEY_CURRENT_USER, keyPath_, true);
    if (!key.valid()) return false;
    bool ok = s.port ? key.writeNumber(L"Port", static_cast<std::uint32_t>(s.port)) : key.remove(L"Port");
    for (std::size_t i = 0; i < s.drives.size(); ++i) {
        const MountSetting& d = s.drives[i];
        if (d.path.empty()) {
            ok = key.remove(driveName(i)) && key.remove(driveName(i) + L"ReadOnly") && ok;
        } else {
            ok = key.writeText(driveName(i), d.path) && ok;
            ok = key.writeNumber(driveName(i) + L"ReadOnly", d.readOnly ? 1 : 0) && ok;
        }
    }
    if (s.placement) ok = key.writeBytes(L"Placement", &*s.placement, sizeof *s.placement) && ok;
    return ok;
}
