// The front end's side of the bus test: a client of Vandrel.Shell that starts the emulation
// on the COM port the driver (tools/host/shell_bus_test, the computer) has mapped to its
// pseudo-terminal, and checks the Command events that the driver's command frames cause.
//
//   shell_bus_client N       (N: the COM port number, 5 to 9)
//
// The driver registers the server and sees through the modem-line shim when the emulation
// listens; this side needs no channel back to it. It expects, in this order:
//   Command(0x31, 0x52, 0x01, 0x00, 0x84, 1, 1, "read")  and Status "[no image mounted]"
//   Command(0x40, 0x53, 0x00, 0x00, 0x93, 16, 0, "status") and Debug "unknown device - 10"
// each Command with its arguments typed as the type library says (six bytes, a long, a
// string), and no Error event. Then it starts the emulation again and lets its Shell go
// while the emulation runs: the server, which this side started so that it can watch it,
// must then end by itself with exit code 0.
//
// Exit code: the number of failed checks (0 when all passed), 2 for a bad command line.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "server/com_support.h"
#include "server/vandrel_idl.h"
#include "tests/shell/event_sink.h"
#include "tests/support/win32/child_process.h"

namespace {

constexpr DISPID kStatus = 1, kCommand = 2, kDebug = 3, kError = 4;
constexpr int kStartMs = 20000;
// The driver sends its frames once the emulation listens; Wine may be slow to start them.
constexpr int kFramesMs = 90000;

int failures = 0;

void check(bool ok, const std::string& what) {
    std::printf("%s - %s\n", ok ? "ok" : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok) ++failures;
}

std::string narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

std::string describe(const SinkEvent& e) {
    std::string s = "event " + std::to_string(e.id) + " (";
    for (std::size_t i = 0; i < e.numbers.size(); ++i)
        s += (i ? ", " : "") + std::to_string(e.numbers[i]);
    s += (e.numbers.empty() ? "\"" : ", \"") + narrow(e.text) + "\") types";
    for (VARTYPE t : e.types) s += " " + std::to_string(t);
    return s;
}

struct ExpectedCommand {
    std::vector<long> numbers;  // b1..b5, disk, sector
    std::wstring name;
    std::wstring followedBy;    // the line the responder reports after it
    DISPID followedById;
};

// Every Command event of the bus: b1..b5 and disk are bytes, sector a long, the name a
// string; the array holds them last parameter first.
const std::vector<VARTYPE> kCommandTypes{VT_BSTR, VT_I4, VT_UI1, VT_UI1, VT_UI1, VT_UI1, VT_UI1, VT_UI1};

void checkEvents(const std::vector<SinkEvent>& events) {
    const ExpectedCommand expected[] = {
        {{0x31, 0x52, 0x01, 0x00, 0x84, 1, 1}, L"read", L"[no image mounted]", kStatus},
        {{0x40, 0x53, 0x00, 0x00, 0x93, 0x10, 0}, L"status", L"unknown device - 10", kDebug},
    };
    // The bus's events in the order they came, without the start's lines before them.
    std::vector<SinkEvent> bus;
    bool errors = false;
    for (const SinkEvent& e : events) {
        errors |= e.id == kError;
        if (e.id == kCommand || e.text == L"[no image mounted]" || e.text.starts_with(L"unknown device"))
            bus.push_back(e);
    }
    check(!errors, "no Error event");
    check(bus.size() == 4, "four events from the bus: two Command events, each followed by its line (got " +
                               std::to_string(bus.size()) + ")");
    for (std::size_t i = 0; i < 2 && 2 * i + 1 < bus.size(); ++i) {
        const ExpectedCommand& x = expected[i];
        const SinkEvent& command = bus[2 * i];
        const SinkEvent& line = bus[2 * i + 1];
        const std::string which = "frame " + std::to_string(i + 1) + " (" + narrow(x.name) + ")";
        check(command.id == kCommand, which + ": a Command event comes first");
        check(command.types == kCommandTypes, which + ": argument types BSTR, I4, UI1 x6 (last first)");
        check(command.numbers == x.numbers && command.text == x.name,
              which + ": the frame's bytes, disk, sector and name: " + describe(command));
        check(line.id == x.followedById && line.text == x.followedBy,
              which + ": followed by \"" + narrow(x.followedBy) + "\"");
    }
}

// Wine maps COMn through HKLM\Software\Wine\Ports; only a port that the driver has sent to
// a pseudo-terminal may be opened (COM1 of this machine is its console).
bool leadsToPty(BYTE port) {
    const std::wstring name = L"COM" + std::to_wstring(port);
    wchar_t target[1024] = {};
    DWORD size = sizeof target;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Wine\\Ports", name.c_str(), RRF_RT_REG_SZ, nullptr, target,
                     &size) != ERROR_SUCCESS)
        return false;
    return std::wstring(target).starts_with(L"/dev/pts/");
}

// Waits for an event with this text, printing every event as it comes (a driver that gives
// up kills this program: what came before is then in its output).
bool waitPrinting(Journal& journal, std::size_t& printed, const std::wstring& text, int timeoutMs) {
    constexpr int kStepMs = 100;
    for (int waited = 0;; waited += kStepMs) {
        const bool came = journal.waitForText(text, kStepMs);
        const std::vector<SinkEvent> events = journal.events();
        for (; printed < events.size(); ++printed) std::printf("  %s\n", describe(events[printed]).c_str());
        if (came || waited >= timeoutMs) return came;
    }
}

// The registered server, started as COM would start it; COM then hands out its Shell.
std::unique_ptr<ChildProcess> startServer() {
    wchar_t clsid[64] = {};
    StringFromGUID2(CLSID_Shell, clsid, 64);
    wchar_t server[1024] = {};
    DWORD size = sizeof server;
    const std::wstring key = std::wstring(L"CLSID\\") + clsid + L"\\LocalServer32";
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, server, &size) != ERROR_SUCCESS)
        return nullptr;
    auto process = std::make_unique<ChildProcess>(server, L"-Embedding");
    if (!process->started()) return nullptr;
    process->servingWithin(kStartMs);
    return process;
}

// The last Shell goes while the emulation runs: the server stops it and ends cleanly.
void checkEndWhileRunning(ComPtr<IShell>& shell, const ChildProcess& server) {
    shell->start();
    VARIANT_BOOL stopped = VARIANT_TRUE;
    shell->get_isStopped(&stopped);
    check(stopped == VARIANT_FALSE, "the emulation runs again before the last Shell goes");
    shell.reset();
    const DWORD code = server.exitCode(30000);
    check(code == 0, "released while its emulation ran, the server ended with exit code " + std::to_string(code));
}

int run(BYTE port) {
    check(leadsToPty(port), "COM" + std::to_string(port) + " leads to a pseudo-terminal");
    if (failures) return failures;
    const std::unique_ptr<ChildProcess> server = startServer();
    check(server != nullptr, "the registered server started");
    if (!server) return failures;
    ComPtr<IShell> shell;
    HRESULT hr = CoCreateInstance(CLSID_Shell, nullptr, CLSCTX_LOCAL_SERVER, IID_IShell,
                                  reinterpret_cast<void**>(shell.put()));
    check(hr == S_OK, "CoCreateInstance(Vandrel.Shell, local server): hr " + std::to_string(hr));
    if (hr != S_OK) return failures;
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    hr = shell->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.put()));
    if (hr == S_OK) hr = container->FindConnectionPoint(DIID__IShellEvents, point.put());
    check(hr == S_OK, "the connection point for _IShellEvents");
    if (hr != S_OK) return failures;
    Journal journal;
    auto* sink = new EventSink(journal, 1);
    DWORD cookie = 0;
    hr = point->Advise(sink, &cookie);
    sink->Release();
    check(hr == S_OK, "a sink connected");
    if (hr != S_OK) return failures;

    shell->put_serialPort(port);
    BYTE open = 0;
    shell->get_serialPort(&open);
    check(open == port, "serialPort reads " + std::to_string(open) + " after opening COM" + std::to_string(port));
    shell->start();
    const std::wstring started = L"sio emulation started on COM" + std::to_wstring(port);
    std::size_t printed = 0;
    const bool listening = waitPrinting(journal, printed, started, kStartMs);
    check(listening, "the Status line \"" + narrow(started) + "\"");
    if (listening) {
        // The responder reports "unknown device - 10" last of all, after the second frame.
        const bool came = waitPrinting(journal, printed, L"unknown device - 10", kFramesMs);
        check(came, "the events of both frames came within " + std::to_string(kFramesMs / 1000) + " s");
        checkEvents(journal.events());
    }
    shell->stop();
    check(journal.waitForText(L"sio emulation stopped", 0), "stop: \"sio emulation stopped\" before it returned");
    point->Unadvise(cookie);
    point.reset();
    container.reset();
    checkEndWhileRunning(shell, *server);
    return failures;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int port = argc == 2 ? std::atoi(argv[1]) : 0;
    if (port < 5 || port > 9) {
        std::fprintf(stderr, "usage: shell_bus_client N   (COM port 5 to 9, mapped by the driver)\n");
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const int failed = run(static_cast<BYTE>(port));
    CoUninitialize();
    std::printf("shell bus client: %d failed\n", failed);
    return failed;
}
