// The registry entries of envprobe, written and removed under HKEY_CLASSES_ROOT.
//
//   CLSID\{Test}             = envprobe.Test
//     LocalServer32          = the executable's path
//     ProgID                 = envprobe.Test
//     TypeLib                = {LIBID}
//   envprobe.Test            = envprobe.Test
//     CLSID                  = {Test}
//   Interface\{_Test}        = _Test
//     ProxyStubClsid(32)     = the type library marshaler
//     TypeLib                = {LIBID}, Version = 2.0
//   TypeLib\{LIBID}\2.0\...  by RegisterTypeLib (locale 0, the only key Wine's marshaler reads)
#include "envprobe/registration.h"

#include "envprobe/com_ptr.h"
#include "envprobe_h.h"

#include <utility>

namespace envprobe {
namespace {

// {00020424-0000-0000-C000-000000000046}: oleaut32's marshaler for automation interfaces.
constexpr wchar_t kTypeLibMarshaler[] = L"{00020424-0000-0000-C000-000000000046}";
constexpr WORD kMajorVersion = 2;
constexpr WORD kMinorVersion = 0;
constexpr wchar_t kVersionText[] = L"2.0";
constexpr SYSKIND kSysKind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;

class RegKey {
public:
    RegKey() = default;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey() {
        if (key_) RegCloseKey(key_);
    }
    HKEY get() const { return key_; }
    HKEY* put() {
        if (HKEY old = std::exchange(key_, nullptr)) RegCloseKey(old);
        return &key_;
    }

private:
    HKEY key_ = nullptr;
};

std::wstring guidText(REFGUID guid) {
    wchar_t text[39];
    StringFromGUID2(guid, text, 39);
    return text;
}

// Writes one string value (`name` null: the key's default value), creating the key.
HRESULT writeValue(const std::wstring& path, const wchar_t* name, const std::wstring& value) {
    RegKey key;
    LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                     nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    status = RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    return HRESULT_FROM_WIN32(status);
}

HRESULT deleteTree(const std::wstring& path) {
    // With a subkey name, RegDeleteTree removes that key as well as what is under it.
    const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str());
    return status == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(status);
}

bool keyExists(const std::wstring& path) {
    RegKey key;
    return RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

bool hasSubkeys(const std::wstring& path) {
    RegKey key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return false;
    DWORD subkeys = 0;
    if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return true;  // unknown: keep it
    return subkeys != 0;
}

// Keeps the first failure of a sequence of steps.
class FirstError {
public:
    void operator<<(HRESULT hr) {
        if (SUCCEEDED(hr_) && FAILED(hr)) hr_ = hr;
    }
    HRESULT result() const { return hr_; }

private:
    HRESULT hr_ = S_OK;
};

HRESULT writeEntries(const std::wstring& exePath) {
    ComPtr<ITypeLib> library;
    HRESULT hr = LoadTypeLibEx(exePath.c_str(), REGKIND_NONE, library.put());
    if (FAILED(hr)) return hr;
    std::wstring libraryPath = exePath;  // RegisterTypeLib takes a non-const string
    hr = RegisterTypeLib(library.get(), libraryPath.data(), nullptr);
    if (FAILED(hr)) return hr;

    const std::wstring clsid = L"CLSID\\" + guidText(CLSID_Test);
    const std::wstring iface = L"Interface\\" + guidText(IID__Test);
    const std::wstring libid = guidText(LIBID_envprobe);
    // COM starts the server through this command line: quote a path with spaces.
    const std::wstring command =
        exePath.find(L' ') == std::wstring::npos ? exePath : L"\"" + exePath + L"\"";

    FirstError result;
    result << writeValue(iface, nullptr, L"_Test");
    result << writeValue(iface + L"\\ProxyStubClsid", nullptr, kTypeLibMarshaler);
    result << writeValue(iface + L"\\ProxyStubClsid32", nullptr, kTypeLibMarshaler);
    result << writeValue(iface + L"\\TypeLib", nullptr, libid);
    result << writeValue(iface + L"\\TypeLib", L"Version", kVersionText);
    result << writeValue(clsid, nullptr, kProgId);
    result << writeValue(clsid + L"\\LocalServer32", nullptr, command);
    result << writeValue(clsid + L"\\ProgID", nullptr, kProgId);
    result << writeValue(clsid + L"\\TypeLib", nullptr, libid);
    result << writeValue(kProgId, nullptr, kProgId);
    result << writeValue(std::wstring(kProgId) + L"\\CLSID", nullptr, guidText(CLSID_Test));
    return result.result();
}

}  // namespace

HRESULT registerServer(const std::wstring& exePath) {
    const HRESULT hr = writeEntries(exePath);
    if (FAILED(hr)) unregisterServer();
    return hr;
}

HRESULT unregisterServer() {
    FirstError result;
    const std::wstring library = L"TypeLib\\" + guidText(LIBID_envprobe);
    const std::wstring platform = library + L"\\" + kVersionText + L"\\0\\" +
                                  (kSysKind == SYS_WIN64 ? L"win64" : L"win32");
    // UnRegisterTypeLib fails when the library is not registered: only ask when it is.
    if (keyExists(platform))
        result << UnRegisterTypeLib(LIBID_envprobe, kMajorVersion, kMinorVersion, 0, kSysKind);
    // Another version or platform of the library may remain: only an empty key goes.
    if (keyExists(library) && !hasSubkeys(library)) result << deleteTree(library);
    result << deleteTree(L"Interface\\" + guidText(IID__Test));
    result << deleteTree(L"CLSID\\" + guidText(CLSID_Test));
    result << deleteTree(kProgId);
    return result.result();
}

}  // namespace envprobe
