// The type library's registration.
#include "server/type_library.h"

#include <string>

#include "server/vandrel_idl.h"

namespace {

std::wstring modulePath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

// From the program's own file, else from the .tlb beside it.
HRESULT loadLibrary(ComPtr<ITypeLib>& library, std::wstring& from) {
    from = modulePath();
    HRESULT hr = LoadTypeLib(from.c_str(), library.put());
    if (SUCCEEDED(hr)) return hr;
    const std::size_t dot = from.rfind(L'.');
    const std::size_t slash = from.find_last_of(L"\\/:");
    if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash)) from.resize(dot);
    from += L".tlb";
    return LoadTypeLib(from.c_str(), library.put());
}

// Wine's marshaler looks a library up under locale 0 only; the library is registered under
// its own locale (0x409) by the system, so the path is written under 0 as well.
constexpr const wchar_t* kPlatformKey = sizeof(void*) == 8 ? L"win64" : L"win32";

std::wstring neutralLocaleKey() {
    return L"TypeLib\\{C2283C0C-A2C3-4330-843D-0D6785675ACA}\\1.0\\0";
}

}  // namespace

HRESULT registerTypeLibrary() {
    ComPtr<ITypeLib> library;
    std::wstring path;
    HRESULT hr = loadLibrary(library, path);
    if (FAILED(hr)) return hr;
    std::wstring helpDir = path.substr(0, path.find_last_of(L"\\/:") + 1);
    hr = RegisterTypeLib(library.get(), path.data(), helpDir.data());
    if (FAILED(hr)) return hr;
    HKEY key = nullptr;
    const std::wstring name = neutralLocaleKey() + L"\\" + kPlatformKey;
    LONG r = RegCreateKeyExW(HKEY_CLASSES_ROOT, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (r != ERROR_SUCCESS) return HRESULT_FROM_WIN32(r);
    r = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                       static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return HRESULT_FROM_WIN32(r);
}

void unregisterTypeLibrary() {
    RegDeleteTreeW(HKEY_CLASSES_ROOT, neutralLocaleKey().c_str());
    ComPtr<ITypeLib> library;
    std::wstring path;
    if (FAILED(loadLibrary(library, path))) return;
    TLIBATTR* attr = nullptr;
    if (FAILED(library->GetLibAttr(&attr))) return;
    // Looked up at run time, as old systems lack it.
    using Unregister = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);
    if (HMODULE oleaut = LoadLibraryA("oleaut32.dll")) {
        auto unregister = reinterpret_cast<Unregister>(
            reinterpret_cast<void*>(GetProcAddress(oleaut, "UnRegisterTypeLib")));
        if (unregister) unregister(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
        FreeLibrary(oleaut);
    }
    library->ReleaseTLibAttr(attr);
}
