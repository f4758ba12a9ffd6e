// envprobe: a local automation server whose class Test answers "Orvalle" from TestIt, so that
// a client that gets the answer knows out-of-process automation works on the machine.
#include "envprobe/class_factory.h"
#include "envprobe/command_line.h"
#include "envprobe/registration.h"
#include "envprobe/test_object.h"

#include <chrono>
#include <cstdio>
#include <new>
#include <string>

namespace {

using namespace envprobe;
using namespace std::chrono_literals;

// COM starts the server for a client that asks for its class object at once; a server
// nobody uses for this long was started by hand or by a client that went away.
constexpr auto kFirstClientLimit = 60s;
// After the last release: long enough for a client creating objects one after another to
// keep this server, short enough that the process goes soon after its last client.
constexpr auto kLinger = 2s;

// A one-line message on standard error, where there is one (a GUI program run from a
// console or with redirected output); the program has no window to show it in.
void report(const char* text, HRESULT hr) {
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (!error || error == INVALID_HANDLE_VALUE) return;
    char line[160];
    const int length = std::snprintf(line, sizeof line, "envprobe: %s (0x%08lX)\n", text,
                                     static_cast<unsigned long>(hr));
    if (length <= 0) return;
    DWORD written = 0;
    WriteFile(error, line, static_cast<DWORD>(length), &written, nullptr);
}

std::wstring modulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);  // truncated
    }
}

HRESULT serve(const std::wstring& exePath) {
    // Declared first: objects and locks refer to it until COM has let go of them all.
    ServerLifetime lifetime;
    ComApartment apartment(COINIT_MULTITHREADED);
    if (FAILED(apartment.result())) return apartment.result();

    ComPtr<ITypeInfo> typeInfo;
    HRESULT hr = loadTestTypeInfo(exePath, typeInfo);
    if (FAILED(hr)) return hr;
    auto factory = ComPtr<IClassFactory>::adopt(new (std::nothrow) CTestFactory(typeInfo, lifetime));
    if (!factory) return E_OUTOFMEMORY;

    ClassRegistration registration;
    hr = registration.registerObject(CLSID_Test, factory.get(), CLSCTX_LOCAL_SERVER,
                                     REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED);
    if (FAILED(hr)) return hr;
    // Activation requests reach the class object from here on (a stub on Wine, which does
    // not hold them back while suspended).
    hr = CoResumeClassObjects();
    if (FAILED(hr)) return hr;

    lifetime.waitUntilUnused(kFirstClientLimit, kLinger);
    return S_OK;  // the registration is revoked before COM is uninitialised
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR arguments, int) {
    const Mode mode = parseCommandLine(arguments);
    if (mode == Mode::Invalid) {
        report("unknown command line; use /RegServer, /UnregServer or -Embedding", E_INVALIDARG);
        return 2;
    }
    if (mode == Mode::Unregister) {
        const HRESULT hr = unregisterServer();
        if (FAILED(hr)) report("unregistration failed", hr);
        return FAILED(hr) ? 1 : 0;
    }

    const std::wstring exePath = modulePath();
    if (exePath.empty()) {
        report("cannot find the program's own path", HRESULT_FROM_WIN32(GetLastError()));
        return 1;
    }
    if (mode == Mode::Register) {
        const HRESULT hr = registerServer(exePath);
        if (FAILED(hr)) report("registration failed", hr);
        return FAILED(hr) ? 1 : 0;
    }
    const HRESULT hr = serve(exePath);
    if (FAILED(hr)) report("serving failed", hr);
    return FAILED(hr) ? 1 : 0;
}
