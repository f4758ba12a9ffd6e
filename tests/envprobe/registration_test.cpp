// /RegServer and /UnregServer of the real program, read back from the registry. Every test
// starts and ends with nothing registered.
#include "tests/envprobe/test_support.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace envprobe;
using namespace envprobe_test;

const wchar_t* const kPlatform = sizeof(void*) == 8 ? L"win64" : L"win32";

std::wstring clsidKey() { return std::wstring(L"CLSID\\") + kClsidText; }
std::wstring interfaceKey() { return std::wstring(L"Interface\\") + kIidText; }
std::wstring typeLibKey() { return std::wstring(L"TypeLib\\") + kLibidText; }

class RegKey {
public:
    explicit RegKey(const std::wstring& path) {
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key_) != ERROR_SUCCESS)
            key_ = nullptr;
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey() {
        if (key_) RegCloseKey(key_);
    }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

bool keyExists(const std::wstring& path) {
    return RegKey(path).get() != nullptr;
}

// A string value (`name` null: the default value), or nothing when the key or value is missing.
std::optional<std::wstring> readString(const std::wstring& path, const wchar_t* name = nullptr) {
    RegKey key(path);
    if (!key.get()) return std::nullopt;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ)
        return std::nullopt;
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(value.data()), &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    value.resize(size / sizeof(wchar_t));
    while (!value.empty() && value.back() == L'\0') value.pop_back();
    return value;
}

void expectValue(const std::wstring& path, const wchar_t* name, const std::wstring& expected) {
    SCOPED_TRACE(narrow(path) + (name ? " " + narrow(name) : std::string()));
    const std::optional<std::wstring> value = readString(path, name);
    ASSERT_TRUE(value.has_value()) << "missing";
    EXPECT_TRUE(sameTextIgnoringCase(*value, expected))
        << narrow(*value) << " instead of " << narrow(expected);
}

void expectRegistered() {
    // COM starts the server through this command line: a path with spaces is quoted.
    const std::wstring command =
        exePath().find(L' ') == std::wstring::npos ? exePath() : L"\"" + exePath() + L"\"";
    expectValue(clsidKey() + L"\\LocalServer32", nullptr, command);
    expectValue(clsidKey() + L"\\ProgID", nullptr, kProgId);
    expectValue(std::wstring(kProgId) + L"\\CLSID", nullptr, kClsidText);
    expectValue(interfaceKey(), nullptr, L"_Test");
    expectValue(interfaceKey() + L"\\ProxyStubClsid32", nullptr, kTypeLibMarshalerText);
    expectValue(interfaceKey() + L"\\TypeLib", nullptr, kLibidText);
    expectValue(interfaceKey() + L"\\TypeLib", L"Version", L"2.0");
    // Locale 0: the only key Wine's marshaler looks the library up under.
    expectValue(typeLibKey() + L"\\2.0\\0\\" + kPlatform, nullptr, exePath());

    ComPtr<ITypeLib> library;
    EXPECT_HRESULT_SUCCEEDED(LoadRegTypeLib(kLibid, 2, 0, 0, library.put()));
    Bstr path;
    EXPECT_HRESULT_SUCCEEDED(QueryPathOfRegTypeLib(kLibid, 2, 0, 0, path.put()));
    CLSID clsid{};
    EXPECT_HRESULT_SUCCEEDED(CLSIDFromProgID(kProgId, &clsid));
    EXPECT_TRUE(IsEqualCLSID(clsid, kClsidTest));
}

void expectNothingRegistered() {
    for (const std::wstring& key : {clsidKey(), std::wstring(kProgId), interfaceKey(), typeLibKey()})
        EXPECT_FALSE(keyExists(key)) << narrow(key) << " is still there";
    ComPtr<ITypeLib> library;
    EXPECT_HRESULT_FAILED(LoadRegTypeLib(kLibid, 2, 0, 0, library.put()));
}

class EnvprobeRegistration : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_HRESULT_SUCCEEDED(apartment_.result());
        ASSERT_EQ(runEnvprobe(L"/UnregServer"), 0u);
    }
    void TearDown() override { EXPECT_EQ(runEnvprobe(L"/UnregServer"), 0u); }

    ComApartment apartment_{COINIT_APARTMENTTHREADED};
};

// Catches an unregistration that fails (or leaves keys) where nothing was registered.
TEST_F(EnvprobeRegistration, UnregisterSucceedsWhenNothingIsRegistered) {
    expectNothingRegistered();
    EXPECT_EQ(runEnvprobe(L"/UnregServer"), 0u);
    EXPECT_EQ(runEnvprobe(L"/UnregServer"), 0u);
    expectNothingRegistered();
}

// Catches a missing or wrong entry for the class, the program identifier, the interface's
// marshaler or the type library, and a second registration that fails.
TEST_F(EnvprobeRegistration, RegisterWritesClassInterfaceAndLibrary) {
    ASSERT_EQ(runEnvprobe(L"/RegServer"), 0u);
    expectRegistered();
    ASSERT_EQ(runEnvprobe(L"/RegServer"), 0u) << "registering again";
    expectRegistered();
}

// Catches entries left behind by /UnregServer, and a second /UnregServer that fails.
TEST_F(EnvprobeRegistration, UnregisterRemovesEverything) {
    ASSERT_EQ(runEnvprobe(L"/RegServer"), 0u);
    EXPECT_EQ(runEnvprobe(L"/UnregServer"), 0u);
    expectNothingRegistered();
    EXPECT_EQ(runEnvprobe(L"/UnregServer"), 0u);
    expectNothingRegistered();
}

// Catches switches that only work in one spelling.
TEST_F(EnvprobeRegistration, SwitchesIgnoreCaseAndPrefix) {
    ASSERT_EQ(runEnvprobe(L"-REGSERVER"), 0u);
    expectRegistered();
    EXPECT_EQ(runEnvprobe(L"-unregserver"), 0u);
    expectNothingRegistered();
    ASSERT_EQ(runEnvprobe(L"/regserver"), 0u);
    expectRegistered();
    EXPECT_EQ(runEnvprobe(L"/UNREGSERVER"), 0u);
    expectNothingRegistered();
}

// Catches a program that serves (and never ends) or registers on a switch it does not know.
TEST_F(EnvprobeRegistration, UnknownSwitchDoesNothing) {
    const std::optional<DWORD> code = runEnvprobe(L"/Install");
    ASSERT_TRUE(code.has_value()) << "still running on an unknown switch";
    EXPECT_NE(*code, 0u);
    expectNothingRegistered();
}

}  // namespace
