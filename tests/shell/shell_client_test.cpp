// Vandrel.exe from another process, as a front end sees it: registration, IShell through its
// vtable and through IDispatch by name, and events to connected sinks.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "server/com_support.h"
#include "server/vandrel_idl.h"
#include "tests/shell/event_sink.h"
#include "tests/support/temp_dir.h"
#include "tests/support/win32/child_process.h"

#include <tlhelp32.h>  // after <windows.h>

namespace {

constexpr DISPID kStatus = 1, kDebug = 3, kError = 4;
const std::wstring kAlreadyStopped = L"sio emulation is already stopped";
constexpr DWORD kBoundMs = 30000;  // on a member call, and on each step of a second process

std::wstring serverPath;  // from the command line

std::wstring widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

std::wstring ownPath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

DWORD runServer(const std::wstring& arguments) { return runToEnd(serverPath, arguments); }

// The manual-reset events between a test and its second process, named after the test's
// process so that runs side by side do not meet.
class NamedEvent {
public:
    NamedEvent(const wchar_t* what, DWORD owner)
        : h_(CreateEventW(nullptr, TRUE, FALSE, (L"vandrel-shell-client-test-" + std::wstring(what) + L"-" +
                                                  std::to_wstring(owner)).c_str())) {}
    ~NamedEvent() {
        if (h_) CloseHandle(h_);
    }
    NamedEvent(const NamedEvent&) = delete;
    NamedEvent& operator=(const NamedEvent&) = delete;
    void set() { SetEvent(h_); }
    // True once set; false when the bound passed or the other process ended first.
    bool waitSet(HANDLE process = nullptr) {
        const HANDLE both[] = {h_, process};
        return h_ && WaitForMultipleObjects(process ? 2 : 1, both, FALSE, kBoundMs) == WAIT_OBJECT_0;
    }

private:
    HANDLE h_;
};

HRESULT createShell(ComPtr<IShell>& shell, ComPtr<IConnectionPoint>& point) {
    HRESULT hr = CoCreateInstance(CLSID_Shell, nullptr, CLSCTX_LOCAL_SERVER, IID_IShell,
                                  reinterpret_cast<void**>(shell.put()));
    ComPtr<IConnectionPointContainer> container;
    if (SUCCEEDED(hr)) hr = shell->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.put()));
    if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(DIID__IShellEvents, point.put());
    return hr;
}

// Only a port that leads nowhere may be opened here: COM1 of this machine is its console.
bool leadsNowhere(BYTE port) {
    wchar_t target[1024] = {};
    DWORD size = sizeof target;
    return RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Wine\\Ports", (L"COM" + std::to_wstring(port)).c_str(),
                        RRF_RT_REG_SZ, nullptr, target, &size) == ERROR_SUCCESS &&
           std::wstring(target).find(L"/nonexistent/") != std::wstring::npos;
}

// Under Wine the client starts the server itself, so a server this program started is its
// child. A deadlocked one would never end, and it holds the run's output open for ever.
void killServersWeStarted() {
    const std::wstring path = serverPath;
    const std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    PROCESSENTRY32W e{};
    e.dwSize = sizeof e;
    for (BOOL more = Process32FirstW(snapshot, &e); more; more = Process32NextW(snapshot, &e)) {
        if (e.th32ParentProcessID != GetCurrentProcessId() || lstrcmpiW(e.szExeFile, name.c_str()) != 0) continue;
        if (const HANDLE server = OpenProcess(PROCESS_TERMINATE, FALSE, e.th32ProcessID)) {
            TerminateProcess(server, 3);
            CloseHandle(server);
        }
    }
    CloseHandle(snapshot);
}

// Runs one member call on a thread of its own. One that does not return within the bound is
// a deadlock in the server; the stuck thread cannot be got back, so say which member hung
// and end the program (and the server) rather than wait for the run's time limit.
HRESULT callBounded(const char* member, const std::function<HRESULT()>& call) {
    std::promise<HRESULT> done;
    std::future<HRESULT> result = done.get_future();
    std::thread worker([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        done.set_value(call());
        CoUninitialize();
    });
    if (result.wait_for(std::chrono::milliseconds(kBoundMs)) != std::future_status::ready) {
        std::printf("FAILED: IShell::%s did not return within %lu s (the server waits on itself: an event fired "
                    "while a lock was held?)\n",
                    member, kBoundMs / 1000);
        std::fflush(stdout);
        killServersWeStarted();
        ExitProcess(1);
    }
    worker.join();
    return result.get();
}

// Registers the server for the whole program and removes it afterwards.
class Registration : public ::testing::Environment {
public:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ASSERT_EQ(runServer(L"/RegServer"), 0u);
    }
    void TearDown() override {
        EXPECT_EQ(runServer(L"/UnregServer"), 0u);
        CoUninitialize();
    }
};

class ShellTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(createShell(shell, point), S_OK); }
    void TearDown() override {
        for (DWORD c : cookies)
            if (point) point->Unadvise(c);
    }
    DWORD advise(EventSink* sink) {
        DWORD cookie = 0;
        EXPECT_EQ(point->Advise(sink, &cookie), S_OK);
        sink->Release();
        cookies.push_back(cookie);
        return cookie;
    }
    std::wstring text(BSTR b) {
        Bstr owned(b);
        return b ? std::wstring(b) : L"<null>";
    }

    ComPtr<IShell> shell;
    ComPtr<IConnectionPoint> point;
    std::vector<DWORD> cookies;
    Journal journal;
    TempDir dir;
};

}  // namespace

// The state a new front end finds, and that every member answers S_OK.
TEST_F(ShellTest, FirstLook) {
    VARIANT_BOOL stopped = 0;
    ASSERT_EQ(shell->get_isStopped(&stopped), S_OK);
    EXPECT_EQ(stopped, VARIANT_TRUE);
    BYTE port = 99;
    ASSERT_EQ(shell->get_serialPort(&port), S_OK);
    EXPECT_EQ(port, 0);
    for (BYTE id : {0, 10, 255, 5}) {
        BSTR path = nullptr;
        ASSERT_EQ(shell->get_diskPath(id, &path), S_OK);
        ASSERT_NE(path, nullptr) << "an empty drive answers an empty string, not null";
        EXPECT_EQ(text(path), L"");
        VARIANT_BOOL ro = -7;
        LONG size = -7, count = -7;
        EXPECT_EQ(shell->get_diskReadOnly(id, &ro), S_OK);
        EXPECT_EQ(shell->get_diskSectorSize(id, &size), S_OK);
        EXPECT_EQ(shell->get_diskSectorCount(id, &count), S_OK);
        EXPECT_EQ(ro, 0);
        EXPECT_EQ(size, 0);
        EXPECT_EQ(count, 0);
    }
}

// Images through the automation interface: create, mount read-only by any nonzero flag,
// read back, swap, unmount; each mount says so in a Status event.
TEST_F(ShellTest, ImagesAndTheirEvents) {
    advise(new EventSink(journal, 1));
    const std::string narrow = dir.path("demo.atr");
    const std::wstring path(narrow.begin(), narrow.end());
    Bstr bpath(SysAllocString(path.c_str()));
    ASSERT_EQ(shell->createImage(bpath.get(), 720, 128), S_OK);
    for (VARIANT_BOOL flag : {VARIANT_BOOL(1), VARIANT_BOOL(-1), VARIANT_BOOL(0)}) {
        SCOPED_TRACE(flag);
        ASSERT_EQ(shell->mountDisk(bpath.get(), 3, flag), S_OK);
        VARIANT_BOOL ro = 0;
        ASSERT_EQ(shell->get_diskReadOnly(3, &ro), S_OK);
        EXPECT_EQ(ro, flag ? VARIANT_TRUE : 0);
    }
    BSTR got = nullptr;
    ASSERT_EQ(shell->get_diskPath(3, &got), S_OK);
    EXPECT_EQ(text(got), path);
    LONG count = 0, size = 0;
    shell->get_diskSectorCount(3, &count);
    shell->get_diskSectorSize(3, &size);
    EXPECT_EQ(count, 720);
    EXPECT_EQ(size, 128);
    ASSERT_EQ(shell->swapDisks(3, 4), S_OK);
    ASSERT_EQ(shell->unMountDisk(4), S_OK);
    ASSERT_EQ(shell->get_diskPath(4, &got), S_OK);
    EXPECT_EQ(text(got), L"");
    EXPECT_TRUE(journal.waitForText(L"swapped disk 3 and 4"));
    std::size_t mounts = 0;
    for (const SinkEvent& e : journal.events()) {
        if (e.text.find(L" mounted as D3:") == std::wstring::npos) continue;
        ++mounts;
        EXPECT_EQ(e.id, kStatus);
        EXPECT_EQ(e.types, std::vector<VARTYPE>{VT_BSTR});
    }
    EXPECT_EQ(mounts, 3u);
}

// stop while stopped says so; a port that cannot be opened leaves 0 and an Error event with
// its number and text.
TEST_F(ShellTest, StopAndPort) {
    advise(new EventSink(journal, 1));
    ASSERT_EQ(shell->stop(), S_OK);
    EXPECT_TRUE(journal.waitForText(kAlreadyStopped));
    ASSERT_TRUE(leadsNowhere(8)) << "COM8 does not lead nowhere; refusing to open it";
    ASSERT_EQ(shell->put_serialPort(8), S_OK);
    BYTE port = 99;
    shell->get_serialPort(&port);
    EXPECT_EQ(port, 0);
    ASSERT_EQ(shell->start(), S_OK);
    EXPECT_TRUE(journal.waitForText(L"cannot start emulation without a valid COM port (CStateStore::start.1)"));
    for (const SinkEvent& e : journal.events()) {
        if (e.id != kError) continue;
        EXPECT_EQ(e.types, (std::vector<VARTYPE>{VT_BSTR, VT_I4}));
    }
}

// Sinks are called in slot order; a freed slot is taken by the next sink; a sink that fails
// every call does not stop the others; the wrong kind of sink and unknown cookies are refused.
TEST_F(ShellTest, Sinks) {
    const DWORD first = advise(new EventSink(journal, 1));
    advise(new EventSink(journal, 2, true, E_FAIL));
    // The sinks that heard one event, in the order they heard it.
    auto heard = [&] {
        journal.clear();
        shell->stop();
        const auto stopped = [](const SinkEvent& e) { return e.text == kAlreadyStopped; };
        EXPECT_TRUE(journal.waitFor(stopped, 2));
        std::vector<int> order;
        for (const SinkEvent& e : journal.events())
            if (stopped(e)) order.push_back(e.sink);
        return order;
    };
    EXPECT_EQ(heard(), (std::vector<int>{1, 2}));
    ASSERT_EQ(point->Unadvise(first), S_OK);
    cookies.erase(cookies.begin());
    advise(new EventSink(journal, 3));
    EXPECT_EQ(heard(), (std::vector<int>{3, 2})) << "the third sink took the first slot";

    DWORD cookie = 123;
    auto* refused = new EventSink(journal, 4, false);
    EXPECT_EQ(point->Advise(refused, &cookie), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(cookie, 0u);
    refused->Release();
    EXPECT_EQ(point->Unadvise(0), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(point->Unadvise(0x12345), CONNECT_E_NOCONNECTION);
}

// Late binding by name, as script front ends call it: every member found by its name at its
// DISPID, called with its arguments in IDispatch order, answering in its declared type.
TEST_F(ShellTest, EveryMemberByNameThroughIDispatch) {
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(shell->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(dispatch.put())), S_OK);
    const std::pair<const wchar_t*, DISPID> members[] = {
        {L"mountDisk", 1}, {L"unMountDisk", 2}, {L"start", 3}, {L"stop", 4}, {L"isStopped", 5},
        {L"serialPort", 6}, {L"swapDisks", 7}, {L"diskPath", 8}, {L"diskReadOnly", 9},
        {L"diskSectorSize", 10}, {L"diskSectorCount", 11}, {L"createImage", 12}};
    for (const auto& [name, expected] : members) {
        LPOLESTR n = const_cast<LPOLESTR>(name);
        DISPID id = 0;
        ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, &n, 1, 0x409, &id), S_OK) << name;
        EXPECT_EQ(id, expected) << name;
    }
    LPOLESTR unknown = const_cast<LPOLESTR>(L"format");
    DISPID none = 0;
    EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, &unknown, 1, 0x409, &none), DISP_E_UNKNOWNNAME);

    // Arguments are given first to last; IDispatch wants them last to first.
    auto call = [&](DISPID id, WORD flags, std::vector<VARIANT> args, VARIANT* result) {
        std::vector<VARIANT> reversed(args.rbegin(), args.rend());
        DISPID named = DISPID_PROPERTYPUT;
        DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
        if (flags == DISPATCH_PROPERTYPUT) {
            params.rgdispidNamedArgs = &named;
            params.cNamedArgs = 1;
        }
        if (result) VariantInit(result);
        const HRESULT hr = dispatch->Invoke(id, IID_NULL, 0x409, flags, &params, result, nullptr, nullptr);
        for (VARIANT& v : args) VariantClear(&v);
        return hr;
    };
    auto byte = [](BYTE b) { VARIANT v; VariantInit(&v); v.vt = VT_UI1; v.bVal = b; return v; };
    auto i4 = [](LONG l) { VARIANT v; VariantInit(&v); v.vt = VT_I4; v.lVal = l; return v; };
    auto boolean = [](bool b) { VARIANT v; VariantInit(&v); v.vt = VT_BOOL; v.boolVal = b ? VARIANT_TRUE : 0; return v; };
    auto string = [](const std::wstring& s) { VARIANT v; VariantInit(&v); v.vt = VT_BSTR; v.bstrVal = SysAllocString(s.c_str()); return v; };
    const WORD get = DISPATCH_PROPERTYGET, method = DISPATCH_METHOD;

    advise(new EventSink(journal, 1));
    const std::string narrow = dir.path("byname.atr");
    const std::wstring path(narrow.begin(), narrow.end());
    VARIANT r;
    ASSERT_EQ(call(12, method, {string(path), i4(1040), i4(128)}, nullptr), S_OK);
    ASSERT_EQ(call(1, method, {string(path), byte(2), boolean(true)}, nullptr), S_OK);
    ASSERT_EQ(call(8, get, {byte(2)}, &r), S_OK);
    ASSERT_EQ(r.vt, VT_BSTR);
    EXPECT_EQ(text(r.bstrVal), path);  // text() frees it
    ASSERT_EQ(call(9, get, {byte(2)}, &r), S_OK);
    EXPECT_EQ(r.vt, VT_BOOL);
    EXPECT_EQ(r.boolVal, VARIANT_TRUE);
    ASSERT_EQ(call(10, get, {byte(2)}, &r), S_OK);
    EXPECT_EQ(r.vt, VT_I4);
    EXPECT_EQ(r.lVal, 128);
    ASSERT_EQ(call(11, get, {byte(2)}, &r), S_OK);
    EXPECT_EQ(r.vt, VT_I4);
    EXPECT_EQ(r.lVal, 1040);
    ASSERT_EQ(call(7, method, {byte(2), byte(7)}, nullptr), S_OK);
    ASSERT_EQ(call(11, get, {byte(7)}, &r), S_OK);
    EXPECT_EQ(r.lVal, 1040) << "swapped into D7";
    ASSERT_EQ(call(2, method, {byte(7)}, nullptr), S_OK);
    ASSERT_EQ(call(8, get, {byte(7)}, &r), S_OK);
    ASSERT_EQ(r.vt, VT_BSTR);
    ASSERT_NE(r.bstrVal, nullptr);
    EXPECT_EQ(text(r.bstrVal), L"");

    ASSERT_EQ(call(6, get, {}, &r), S_OK);
    EXPECT_EQ(r.vt, VT_UI1);
    EXPECT_EQ(r.bVal, 0);
    // A port number the server cannot open (only 1 to 9 exist): it stays without a port.
    ASSERT_EQ(call(6, DISPATCH_PROPERTYPUT, {byte(0)}, nullptr), S_OK);
    ASSERT_EQ(call(3, method, {}, nullptr), S_OK);
    EXPECT_TRUE(journal.waitForText(L"cannot start emulation without a valid COM port (CStateStore::start.1)"));
    ASSERT_EQ(call(5, get, {}, &r), S_OK);
    EXPECT_EQ(r.vt, VT_BOOL);
    EXPECT_EQ(r.boolVal, VARIANT_TRUE);
    ASSERT_EQ(call(4, method, {}, nullptr), S_OK);
    EXPECT_TRUE(journal.waitForText(kAlreadyStopped));
}

// Two front ends in two processes: the newer Shell takes the events while its client holds
// it, and when that client lets go the first one hears them again.
TEST_F(ShellTest, SecondClientComesAndGoes) {
    advise(new EventSink(journal, 1));
    const DWORD tag = GetCurrentProcessId();
    NamedEvent ready(L"second-ready", tag), go(L"second-go", tag);
    ChildProcess second(ownPath(), L"--second-client " + std::to_wstring(tag));
    ASSERT_TRUE(ready.waitSet(second.process())) << "the second client has no Shell (its output says why)";
    ASSERT_EQ(shell->stop(), S_OK);
    EXPECT_FALSE(journal.waitForText(kAlreadyStopped, 0)) << "the first client heard while the second Shell lived";
    go.set();
    EXPECT_EQ(second.exitCode(kBoundMs), 0u) << "the second client's checks failed or it did not end (its output says which)";
    journal.clear();
    ASSERT_EQ(shell->stop(), S_OK);
    EXPECT_TRUE(journal.waitForText(kAlreadyStopped)) << "the first Shell hears again once the second is released";
}

// A sink whose process was killed is dropped after its first failed call, and the sinks
// after it still get that event. The dead sink is a proxy to an EventSink in a process of
// its own, handed over as a marshaled reference.
TEST_F(ShellTest, DeadSinkIsDropped) {
    const DWORD tag = GetCurrentProcessId();
    NamedEvent ready(L"sink-ready", tag);
    const std::string file = dir.path("sink.objref");
    ChildProcess host(ownPath(), L"--sink-host " + std::to_wstring(tag) + L" \"" + widen(file) + L"\"");
    ASSERT_TRUE(ready.waitSet(host.process())) << "the sink's process did not marshal it (its output says why)";
    const std::vector<unsigned char> bytes = readFile(file);
    ComPtr<IStream> stream;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()), S_OK);
    ASSERT_EQ(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr), S_OK);
    ASSERT_EQ(stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr), S_OK);
    ComPtr<IDispatch> remote;
    ASSERT_EQ(CoUnmarshalInterface(stream.get(), IID_IDispatch, reinterpret_cast<void**>(remote.put())), S_OK);
    DWORD dead = 0;
    ASSERT_EQ(point->Advise(remote.get(), &dead), S_OK);
    advise(new EventSink(journal, 1));
    host.kill();

    ASSERT_EQ(shell->stop(), S_OK);
    EXPECT_TRUE(journal.waitForText(kAlreadyStopped)) << "the sink after the dead one";
    EXPECT_EQ(point->Unadvise(dead), CONNECT_E_NOCONNECTION) << "the server still holds the dead sink";
}

// Handlers that call back into the same Shell, as a front end's do when it shows a drive's
// path or the state with each line: no member may hold a lock across an event that such a
// handler then waits for. Every member that can fail fails once; the handler of the first
// Error mounts a missing file itself.
TEST_F(ShellTest, HandlersCallBackIntoTheServer) {
    ASSERT_TRUE(leadsNowhere(8)) << "COM8 does not lead nowhere; refusing to open it";
    struct Calls {
        std::atomic<int> made{0}, failed{0};
        std::atomic<bool> mounted{false};
    };
    auto calls = std::make_shared<Calls>();
    const std::wstring missing = widen(dir.path("missing.atr"));
    // The sink holds its own Shell reference and counters: it may be called after the test.
    advise(new EventSink(journal, 1, true, S_OK, [shell = shell, calls, missing](const SinkEvent& e) {
        if (e.id != kStatus && e.id != kDebug && e.id != kError) return;
        Bstr path;
        VARIANT_BOOL stopped = 0;
        BYTE port = 0;
        const HRESULT answers[] = {shell->get_diskPath(1, path.put()), shell->get_isStopped(&stopped),
                                   shell->get_serialPort(&port)};
        for (HRESULT hr : answers) calls->failed += hr != S_OK;
        if (e.id == kError && !calls->mounted.exchange(true)) {
            Bstr again(SysAllocString(missing.c_str()));
            calls->failed += shell->mountDisk(again.get(), 2, VARIANT_FALSE) != S_OK;
        }
        ++calls->made;
    }));
    const auto errorAt = [](const wchar_t* where) {
        return [where](const SinkEvent& e) { return e.id == kError && e.text.find(where) != std::wstring::npos; };
    };
    const auto textIs = [](const wchar_t* text) { return [text](const SinkEvent& e) { return e.text == text; }; };
    Bstr absent(SysAllocString(missing.c_str()));
    Bstr nowhere(SysAllocString(widen(dir.path("absent\\new.atr")).c_str()));
    const struct {
        const char* member;
        std::function<HRESULT()> call;
        std::function<bool(const SinkEvent&)> event;  // where the system's text differs, the place
        std::size_t count;
    } cases[] = {
        {"mountDisk", [&] { return shell->mountDisk(absent.get(), 1, VARIANT_FALSE); },
         errorAt(L"(CDiskImage::loadImage.fopen)"), 2},  // the test's and the handler's
        {"put_serialPort", [&] { return shell->put_serialPort(8); }, errorAt(L"(CSIOPort::openPort."), 1},
        {"start", [&] { return shell->start(); },
         textIs(L"cannot start emulation without a valid COM port (CStateStore::start.1)"), 1},
        {"createImage", [&] { return shell->createImage(nowhere.get(), 720, 128); },
         errorAt(L"(CDiskImage::createImage.fopen)"), 1},
        {"swapDisks", [&] { return shell->swapDisks(1, 2); }, textIs(L"swapped disk 1 and 2"), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.member);
        EXPECT_EQ(callBounded(c.member, c.call), S_OK);
        EXPECT_TRUE(journal.waitFor(c.event, c.count));
    }
    EXPECT_GT(calls->made.load(), 0);
    EXPECT_EQ(calls->failed.load(), 0) << "a member called from a handler failed";
}

namespace {

// The second front end of SecondClientComesAndGoes: its Shell takes the events while it is
// held, and its sink hears the first client's stop and its own. Exit code: failed checks.
int secondClient(DWORD parent) {
    int failures = 0;
    const auto check = [&](bool ok, const char* what) {
        if (!ok) std::printf("second client: FAILED - %s\n", what);
        failures += !ok;
        return ok;
    };
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        NamedEvent ready(L"second-ready", parent), go(L"second-go", parent);
        ComPtr<IShell> shell;
        ComPtr<IConnectionPoint> point;
        Journal journal;
        auto* sink = new EventSink(journal, 2);
        DWORD cookie = 0;
        if (check(createShell(shell, point) == S_OK, "a Shell and its connection point") &&
            check(point->Advise(sink, &cookie) == S_OK, "a sink connected")) {
            const auto stopped = [](const SinkEvent& e) { return e.text == kAlreadyStopped; };
            ready.set();
            check(go.waitSet(), "the first client lets go");
            check(journal.waitFor(stopped, 1), "the first client's stop reached the newer Shell's sink");
            shell->stop();
            check(journal.waitFor(stopped, 2), "its own stop reached its sink");
            point->Unadvise(cookie);
        }
        sink->Release();
    }
    CoUninitialize();
    std::fflush(stdout);
    return failures;
}

// The process of DeadSinkIsDropped's dead sink: marshals an EventSink into `file`, says so,
// and serves it until it is killed (or its test program ends).
int sinkHost(DWORD parent, const std::string& file) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    Journal journal;
    auto* sink = new EventSink(journal, 9);
    ComPtr<IStream> stream;
    HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
    if (SUCCEEDED(hr)) hr = CoMarshalInterface(stream.get(), IID_IDispatch, sink, MSHCTX_LOCAL, nullptr, MSHLFLAGS_NORMAL);
    HGLOBAL memory = nullptr;
    ULARGE_INTEGER size{};
    if (SUCCEEDED(hr)) hr = stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_CUR, &size);
    if (SUCCEEDED(hr)) hr = GetHGlobalFromStream(stream.get(), &memory);
    if (FAILED(hr)) {
        std::printf("sink host: FAILED - marshaling the sink: hr 0x%08lx\n", static_cast<unsigned long>(hr));
        return 1;
    }
    const auto* bytes = static_cast<const unsigned char*>(GlobalLock(memory));
    writeFile(file, std::vector<unsigned char>(bytes, bytes + size.QuadPart));
    GlobalUnlock(memory);
    NamedEvent(L"sink-ready", parent).set();
    const HANDLE test = OpenProcess(SYNCHRONIZE, FALSE, parent);
    if (test) WaitForSingleObject(test, INFINITE);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // The second processes of the tests above run this program again.
    const std::string role = argc > 2 ? argv[1] : "";
    if (role == "--second-client") return secondClient(std::strtoul(argv[2], nullptr, 10));
    if (role == "--sink-host" && argc > 3) return sinkHost(std::strtoul(argv[2], nullptr, 10), argv[3]);
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: shell_client_test PATH-OF-Vandrel.exe\n");
        return 2;
    }
    std::string p = argv[1];
    if (!p.empty() && p[0] == '/') {  // a Unix path from the build: the same file on drive Z:
        for (char& c : p)
            if (c == '/') c = '\\';
        p = "Z:" + p;
    }
    serverPath.assign(p.begin(), p.end());
    ::testing::AddGlobalTestEnvironment(new Registration);
    return RUN_ALL_TESTS();
}
