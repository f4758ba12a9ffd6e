// Calls into Vandrel.Shell for the panel.
#include "shell_link.h"

#include <cstdio>

namespace {

std::wstring hresultText(HRESULT hr) {
    wchar_t number[16];
    std::swprintf(number, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    std::wstring out = number;
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    if (n && text) {
        std::wstring words(text, n);
        while (!words.empty() && (words.back() == L'\n' || words.back() == L'\r' || words.back() == L' '))
            words.pop_back();
        out += L" (" + words + L")";
    }
    LocalFree(text);
    return out;
}

BYTE id(int n) { return static_cast<BYTE>(n); }

// The server runs elsewhere, with another working directory: it gets full paths.
Bstr fullPath(const std::wstring& path) {
    const DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0) return Bstr(SysAllocString(path.c_str()));
    std::wstring full(n, L'\0');
    full.resize(GetFullPathNameW(path.c_str(), n, full.data(), nullptr));
    return Bstr(SysAllocStringLen(full.data(), static_cast<UINT>(full.size())));
}

}  // namespace

std::unique_ptr<ShellLink> ShellLink::connect(IDispatch* sink, std::wstring* error) {
    std::unique_ptr<ShellLink> link(new ShellLink);
    HRESULT hr = CoCreateInstance(CLSID_Shell, nullptr, CLSCTX_LOCAL_SERVER, IID_IShell,
                                  reinterpret_cast<void**>(link->shell_.put()));
    if (FAILED(hr)) {
        *error = L"Vandrel.Shell cannot be created: " + hresultText(hr) +
                 L". Register the server once with the command  Vandrel.exe /RegServer  "
                 L"(in the folder that holds Vandrel.exe), then reconnect.";
        link->alive_ = false;
        return nullptr;
    }
    ComPtr<IConnectionPointContainer> container;
    hr = link->shell_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.put()));
    if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(DIID__IShellEvents, link->point_.put());
    if (SUCCEEDED(hr)) hr = link->point_->Advise(sink, &link->cookie_);
    if (FAILED(hr)) {
        *error = L"cannot connect to the events of Vandrel.Shell: " + hresultText(hr);
        link->alive_ = false;
        return nullptr;
    }
    return link;
}

ShellLink::~ShellLink() {
    if (!alive_) return;
    // Status lines wait in the server for its next delivery; stop delivers what is queued
    // before it returns, so nothing is lost when the sink goes.
    shell_->stop();
    if (point_ && cookie_) point_->Unadvise(cookie_);
}

template <typename Call>
bool ShellLink::call(Call&& c) {
    if (!alive_) return false;
    ++busy_;
    const HRESULT hr = c();
    --busy_;
    if (FAILED(hr)) alive_ = false;
    return alive_;
}

bool ShellLink::mount(int drive, const std::wstring& path, bool readOnly) {
    Bstr p = fullPath(path);
    return call([&] { return shell_->mountDisk(p.get(), id(drive), readOnly ? VARIANT_TRUE : VARIANT_FALSE); });
}

bool ShellLink::unmount(int drive) {
    return call([&] { return shell_->unMountDisk(id(drive)); });
}

bool ShellLink::swap(int drive, int otherDrive) {
    return call([&] { return shell_->swapDisks(id(drive), id(otherDrive)); });
}

bool ShellLink::create(const std::wstring& path, long sectors, long sectorSize) {
    Bstr p = fullPath(path);
    return call([&] { return shell_->createImage(p.get(), sectors, sectorSize); });
}

bool ShellLink::setPort(int port) {
    return call([&] { return shell_->put_serialPort(id(port)); });
}

bool ShellLink::start() {
    return call([&] { return shell_->start(); });
}

bool ShellLink::stop() {
    return call([&] { return shell_->stop(); });
}

std::optional<DriveInfo> ShellLink::drive(int drive) {
    DriveInfo d;
    Bstr path;
    VARIANT_BOOL readOnly = VARIANT_FALSE;
    LONG sectors = 0, size = 0;
    const bool ok = call([&] { return shell_->get_diskPath(id(drive), path.put()); }) &&
                    call([&] { return shell_->get_diskReadOnly(id(drive), &readOnly); }) &&
                    call([&] { return shell_->get_diskSectorCount(id(drive), &sectors); }) &&
                    call([&] { return shell_->get_diskSectorSize(id(drive), &size); });
    if (!ok) return std::nullopt;
    if (path.get()) d.path.assign(path.get(), SysStringLen(path.get()));
    d.readOnly = readOnly != VARIANT_FALSE;
    d.sectors = sectors;
    d.sectorSize = size;
    return d;
}

std::optional<bool> ShellLink::stopped() {
    VARIANT_BOOL stopped = VARIANT_TRUE;
    if (!call([&] { return shell_->get_isStopped(&stopped); })) return std::nullopt;
    return stopped != VARIANT_FALSE;
}

std::optional<int> ShellLink::port() {
    BYTE port = 0;
    if (!call([&] { return shell_->get_serialPort(&port); })) return std::nullopt;
    return port;
}
