// Owns one open registry key, with the few typed reads and writes the panel's settings need.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32/windows_api.h"

class RegistryKey {
public:
    // root\path, created when asked to (for writing); an invalid key when it cannot be opened.
    static RegistryKey open(HKEY root, const std::wstring& path, bool create);

    RegistryKey() = default;
    ~RegistryKey();
    RegistryKey(RegistryKey&& other) noexcept;
    RegistryKey& operator=(RegistryKey&& other) noexcept;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    bool valid() const { return key_ != nullptr; }

    std::optional<std::uint32_t> readNumber(const std::wstring& name) const;
    std::optional<std::wstring> readText(const std::wstring& name) const;
    std::vector<std::uint8_t> readBytes(const std::wstring& name) const;
    // Every string value of the key, in the registry's order.
    std::vector<std::wstring> texts() const;

    bool writeNumber(const std::wstring& name, std::uint32_t value);
    bool writeText(const std::wstring& name, const std::wstring& value);
    bool writeBytes(const std::wstring& name, const void* data, std::size_t size);
    // True also when there was no such value.
    bool remove(const std::wstring& name);

private:
    explicit RegistryKey(HKEY key) : key_(key) {}
    HKEY key_ = nullptr;
};
