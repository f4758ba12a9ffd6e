// Registry reads and writes through one open key.
#include "registry_key.h"

#include <utility>

RegistryKey RegistryKey::open(HKEY root, const std::wstring& path, bool create) {
    HKEY key = nullptr;
    const LONG result = create ? RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                                                 &key, nullptr)
                               : RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key);
    return RegistryKey(result == ERROR_SUCCESS ? key : nullptr);
}

RegistryKey::~RegistryKey() {
    if (key_) RegCloseKey(key_);
}

RegistryKey::RegistryKey(RegistryKey&& other) noexcept : key_(std::exchange(other.key_, nullptr)) {}

RegistryKey& RegistryKey::operator=(RegistryKey&& other) noexcept {
    if (this != &other) {
        if (key_) RegCloseKey(key_);
        key_ = std::exchange(other.key_, nullptr);
    }
    return *this;
}

std::optional<std::uint32_t> RegistryKey::readNumber(const std::wstring& name) const {
    DWORD value = 0, size = sizeof value;
    if (!key_ || RegGetValueW(key_, nullptr, name.c_str(), RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

std::optional<std::wstring> RegistryKey::readText(const std::wstring& name) const {
    DWORD size = 0;
    if (!key_ || RegGetValueW(key_, nullptr, name.c_str(), RRF_RT_REG_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (RegGetValueW(key_, nullptr, name.c_str(), RRF_RT_REG_SZ, nullptr, text.data(), &size) != ERROR_SUCCESS)
        return std::nullopt;
    text.resize(wcsnlen(text.c_str(), text.size()));
    return text;
}

std::vector<std::uint8_t> RegistryKey::readBytes(const std::wstring& name) const {
    DWORD size = 0;
    if (!key_ || RegGetValueW(key_, nullptr, name.c_str(), RRF_RT_REG_BINARY, nullptr, nullptr, &size) != ERROR_SUCCESS)
        return {};
    std::vector<std::uint8_t> bytes(size);
    if (RegGetValueW(key_, nullptr, name.c_str(), RRF_RT_REG_BINARY, nullptr, bytes.data(), &size) != ERROR_SUCCESS)
        return {};
    bytes.resize(size);
    return bytes;
}

std::vector<std::wstring> RegistryKey::texts() const {
    std::vector<std::wstring> out;
    for (DWORD i = 0; key_; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256, type = 0;
        wchar_t data[256] = {};
        DWORD size = sizeof data - sizeof(wchar_t);  // room for a terminator the value may lack
        const LONG result =
            RegEnumValueW(key_, i, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result == ERROR_SUCCESS && type == REG_SZ) out.emplace_back(data);
    }
    return out;
}

bool RegistryKey::writeNumber(const std::wstring& name, std::uint32_t value) {
    const DWORD v = value;
    return key_ && RegSetValueExW(key_, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v) ==
                       ERROR_SUCCESS;
}

bool RegistryKey::writeText(const std::wstring& name, const std::wstring& value) {
    return key_ && RegSetValueExW(key_, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                  static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool RegistryKey::writeBytes(const std::wstring& name, const void* data, std::size_t size) {
    return key_ && RegSetValueExW(key_, name.c_str(), 0, REG_BINARY, static_cast<const BYTE*>(data),
                                  static_cast<DWORD>(size)) == ERROR_SUCCESS;
}

bool RegistryKey::remove(const std::wstring& name) {
    if (!key_) return false;
    const LONG result = RegDeleteValueW(key_, name.c_str());
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}
