// Vandrel.exe: registers and unregisters itself from its command line, or serves Shell to
// any number of clients and ends five seconds after the last has gone.
#include <atomic>
#include <string>

#include "control/driver.h"
#include "server/class_factory.h"
#include "server/registrar.h"
#include "server/server_lock.h"
#include "server/type_library.h"
#include "server/vandrel_idl.h"

namespace {

constexpr int kAppScript = 100;
constexpr int kClassScript = 101;
constexpr DWORD kIdleMs = 5000;

enum class Mode { Serve, Register, Unregister };

// The first "-" or "/" and each after it starts a candidate that runs to the end of the
// line; only a whole switch counts. Stepping by characters keeps the second byte of a
// double-byte character from being taken for a separator.
Mode scanCommandLine(const char* line) {
    const char* p = line;
    for (;;) {
        while (*p && *p != '-' && *p != '/') p = CharNextA(p);
        if (!*p) return Mode::Serve;
        const char* candidate = p + 1;
        if (lstrcmpiA(candidate, "UnregServer") == 0) return Mode::Unregister;
        if (lstrcmpiA(candidate, "RegServer") == 0) return Mode::Register;
        p = CharNextA(p);
    }
}

// The program's path as the registration scripts write it: the short form where there is one.
HRESULT modulePath(std::wstring& out) {
    char full[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, full, MAX_PATH);
    char shortPath[MAX_PATH] = {};
    const DWORD n = GetShortPathNameA(full, shortPath, MAX_PATH);
    if (n == MAX_PATH) return E_OUTOFMEMORY;
    const char* chosen = (n == 0 || n == ERROR_INVALID_PARAMETER) ? full : shortPath;
    const int w = MultiByteToWideChar(CP_ACP, 0, chosen, -1, nullptr, 0);
    out.assign(static_cast<std::size_t>(w > 0 ? w - 1 : 0), L'\0');
    if (w > 1) MultiByteToWideChar(CP_ACP, 0, chosen, -1, out.data(), w);
    return S_OK;
}

HRESULT registrar(Registrar& r) {
    std::wstring path;
    const HRESULT hr = modulePath(path);
    if (FAILED(hr)) return hr;
    r.addReplacement(L"MODULE", path);
    return S_OK;
}

HRESULT registerServer() {
    Registrar r;
    HRESULT hr = registrar(r);
    if (FAILED(hr)) return hr;
    r.registerScript(loadRegistryScript(kAppScript));
    hr = r.registerScript(loadRegistryScript(kClassScript));
    if (FAILED(hr)) return hr;
    return registerTypeLibrary();
}

void unregisterServer() {
    Registrar r;
    if (SUCCEEDED(registrar(r))) {
        r.unregisterScript(loadRegistryScript(kAppScript));
        r.unregisterScript(loadRegistryScript(kClassScript));
    }
    unregisterTypeLibrary();
}

// The shutdown monitor: after the lock count falls to zero, wait until it has stayed there
// for 5000 ms with no other fall to zero in between, then stop taking new clients and end
// the message loop.
struct Shutdown {
    HANDLE event = nullptr;
    DWORD mainThread = 0;
    std::atomic<bool> activity{false};
};
Shutdown shutdown;

void onIdle() {
    shutdown.activity = true;
    SetEvent(shutdown.event);
}

DWORD WINAPI monitor(LPVOID) {
    for (;;) {
        WaitForSingleObject(shutdown.event, INFINITE);
        do {
            shutdown.activity = false;
        } while (WaitForSingleObject(shutdown.event, kIdleMs) == WAIT_OBJECT_0);
        if (shutdown.activity || serverLockCount() != 0) continue;
        CoSuspendClassObjects();
        if (shutdown.activity || serverLockCount() != 0) continue;  // stays suspended
        break;
    }
    PostThreadMessageA(shutdown.mainThread, WM_QUIT, 0, 0);
    return 0;
}

int serve() {
    shutdown.event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    setServerIdleHandler(onIdle);
    HANDLE thread = CreateThread(nullptr, 0, monitor, nullptr, 0, nullptr);
    auto* factory = new CShellFactory;
    DWORD cookie = 0;
    CoRegisterClassObject(CLSID_Shell, factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED,
                          &cookie);
    CoResumeClassObjects();
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    CoRevokeClassObject(cookie);
    Sleep(1000);
    factory->Release();
    // The emulation may still run (a client may go without stopping it): it ends here, not in
    // the process's teardown, where its thread would be cut off inside the port.
    drvShutdown();
    // A late release may still reach the idle handler: the event goes only after it has been
    // removed, and the monitor has ended.
    setServerIdleHandler(nullptr);
    if (thread) {
        if (WaitForSingleObject(thread, kIdleMs) == WAIT_OBJECT_0) CloseHandle(std::exchange(shutdown.event, nullptr));
        CloseHandle(thread);
    }
    return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const char* line = GetCommandLineA();
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    shutdown.mainThread = GetCurrentThreadId();
    int code = 0;
    switch (scanCommandLine(line)) {
    case Mode::Register:
        code = static_cast<int>(registerServer());
        break;
    case Mode::Unregister:
        unregisterServer();
        break;
    case Mode::Serve:
        code = serve();
        break;
    }
    CoUninitialize();
    return code;
}
