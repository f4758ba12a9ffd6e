// Calls into Vandrel.Shell for the console front end.
#include "shell_session.h"

#include <cstdio>

#include "tools/console/wide_text.h"

namespace console {
namespace {

std::string hresultText(HRESULT hr) {
    char number[16];
    std::snprintf(number, sizeof number, "0x%08lX", static_cast<unsigned long>(hr));
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::string out = number;
    if (n && text) {
        std::string words = narrow(text, n);
        while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == ' '))
            words.pop_back();
        out += " (" + words + ")";
    }
    LocalFree(text);
    return out;
}

// The server runs elsewhere, with another working directory: it gets full paths.
Bstr fullPath(const std::string& path) {
    const std::wstring wide = widen(path);
    const DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (n == 0) return Bstr(SysAllocString(wide.c_str()));
    std::wstring full(n, L'\0');
    const DWORD used = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
    full.resize(used);
    return Bstr(SysAllocStringLen(full.data(), static_cast<UINT>(full.size())));
}

BYTE driveId(int drive) { return static_cast<BYTE>(drive); }

}  // namespace

ShellSession::ShellSession(TraceWriter& out, bool raw)
    : out_(out), printer_(ComPtr<EventPrinter>::adopt(new EventPrinter(out, raw))) {}

std::unique_ptr<ShellSession> ShellSession::open(TraceWriter& out, bool raw, std::string* error) {
    std::unique_ptr<ShellSession> s(new ShellSession(out, raw));
    HRESULT hr = CoCreateInstance(CLSID_Shell, nullptr, CLSCTX_LOCAL_SERVER, IID_IShell,
                                  reinterpret_cast<void**>(s->shell_.put()));
    if (FAILED(hr)) {
        *error = "cannot create Vandrel.Shell: " + hresultText(hr) +
                 "; is Vandrel.exe registered (Vandrel.exe /RegServer)?";
        return nullptr;
    }
    ComPtr<IConnectionPointContainer> container;
    hr = s->shell_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.put()));
    if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(DIID__IShellEvents, s->point_.put());
    if (SUCCEEDED(hr)) hr = s->point_->Advise(s->printer_.get(), &s->cookie_);
    if (FAILED(hr)) {
        *error = "cannot connect to the events of Vandrel.Shell: " + hresultText(hr);
        return nullptr;
    }
    return s;
}

ShellSession::~ShellSession() {
    // Status lines wait in the server for its next delivery; stop delivers everything queued
    // before it returns (stopped or not), so nothing is lost when the sink goes.
    if (shell_) shell_->stop();
    if (point_ && cookie_) point_->Unadvise(cookie_);
}

bool ShellSession::create(const std::string& path, const Geometry& geometry, bool overwrite) {
    Bstr full = fullPath(path);
    if (!overwrite && GetFileAttributesW(full.get()) != INVALID_FILE_ATTRIBUTES) {
        out_.problem(narrow(full.get(), SysStringLen(full.get())) +
                     " exists: create! (--create-over on the command line) overwrites it");
        return false;
    }
    const std::size_t mark = printer_->errors().mark();
    const HRESULT hr = shell_->createImage(full.get(), geometry.sectors, geometry.sectorSize);
    if (FAILED(hr)) out_.problem("createImage failed: " + hresultText(hr));
    return SUCCEEDED(hr) &&
           !printer_->errors().since(mark, CallErrors::kCreate);
}

bool ShellSession::mount(int drive, const std::string& path, bool readOnly) {
    const std::size_t mark = printer_->errors().mark();
    Bstr full = fullPath(path);
    HRESULT hr = shell_->mountDisk(full.get(), driveId(drive), readOnly ? VARIANT_TRUE : VARIANT_FALSE);
    Bstr mounted;
    if (SUCCEEDED(hr)) hr = shell_->get_diskPath(driveId(drive), mounted.put());
    if (FAILED(hr)) out_.problem("mountDisk failed: " + hresultText(hr));
    return SUCCEEDED(hr) && mounted.get() && SysStringLen(mounted.get()) > 0 &&
           !printer_->errors().since(mark, CallErrors::kMount);
}

bool ShellSession::unmount(int drive) { return SUCCEEDED(shell_->unMountDisk(driveId(drive))); }

bool ShellSession::swap(int drive, int otherDrive) {
    return SUCCEEDED(shell_->swapDisks(driveId(drive), driveId(otherDrive)));
}

bool ShellSession::setPort(int port) {
    const std::size_t mark = printer_->errors().mark();
    BYTE now = 0;
    const HRESULT hr = shell_->put_serialPort(static_cast<BYTE>(port));
    return SUCCEEDED(hr) && SUCCEEDED(shell_->get_serialPort(&now)) && now == port &&
           !printer_->errors().since(mark, CallErrors::kPort);
}

bool ShellSession::start() {
    const std::size_t mark = printer_->errors().mark();
    VARIANT_BOOL stopped = VARIANT_TRUE;
    return SUCCEEDED(shell_->start()) && SUCCEEDED(shell_->get_isStopped(&stopped)) && !stopped &&
           !printer_->errors().since(mark, CallErrors::kStart);
}

bool ShellSession::stop() { return SUCCEEDED(shell_->stop()); }

void ShellSession::printStatus() {
    std::string text;
    for (int d = 1; d <= 9; ++d) {
        Bstr path;
        VARIANT_BOOL readOnly = 0;
        LONG sectors = 0, size = 0;
        shell_->get_diskPath(driveId(d), path.put());
        shell_->get_diskReadOnly(driveId(d), &readOnly);
        shell_->get_diskSectorCount(driveId(d), &sectors);
        shell_->get_diskSectorSize(driveId(d), &size);
        char head[8];
        std::snprintf(head, sizeof head, "D%d: ", d);
        text += head;
        if (!path.get() || SysStringLen(path.get()) == 0) {
            text += "(empty)\n";
            continue;
        }
        text += narrow(path.get(), SysStringLen(path.get()));
        text += " " + std::to_string(sectors) + " sectors of " + std::to_string(size) + " bytes";
        text += readOnly ? ", read-only\n" : "\n";
    }
    BYTE port = 0;
    VARIANT_BOOL stopped = VARIANT_TRUE;
    shell_->get_serialPort(&port);
    shell_->get_isStopped(&stopped);
    text += port ? "port: COM" + std::to_string(port) : std::string("port: none");
    text += stopped ? ", stopped\n" : ", running\n";
    out_.plain(text);
}

}  // namespace console
