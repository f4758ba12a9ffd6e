// Vandrel.exe from another process, as a front end sees it: registration, IShell through its
// vtable and through IDispatch by name, and events to connected sinks.
#include <gtest/gtest.h>

#include <string>

#include "server/com_support.h"
#include "server/vandrel_idl.h"
#include "tests/shell/event_sink.h"
#include "tests/support/temp_dir.h"

namespace {

std::wstring serverPath;  // from the command line

DWORD runServer(const std::wstring& arguments) {
    std::wstring line = L"\"" + serverPath + L"\" " + arguments;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return 0xFFFFFFFF;
    WaitForSingleObject(pi.hProcess, 60000);
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
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
    void SetUp() override {
        ASSERT_EQ(CoCreateInstance(CLSID_Shell, nullptr, CLSCTX_LOCAL_SERVER, IID_IShell,
                                   reinterpret_cast<void**>(shell.put())),
                  S_OK);
        ComPtr<IConnectionPointContainer> container;
        ASSERT_EQ(shell->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.put())), S_OK);
        ASSERT_EQ(container->FindConnectionPoint(DIID__IShellEvents, point.put()), S_OK);
    }
    void TearDown() override {
        for (DWORD c : cookies) point->Unadvise(c);
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
        EXPECT_EQ(e.id, 1);
        EXPECT_EQ(e.types, std::vector<VARTYPE>{VT_BSTR});
    }
    EXPECT_EQ(mounts, 3u);
}

// stop while stopped says so before it returns; a port that cannot be opened leaves 0 and an
// Error event with its number and text.
TEST_F(ShellTest, StopAndPort) {
    advise(new EventSink(journal, 1));
    ASSERT_EQ(shell->stop(), S_OK);
    bool seen = false;
    for (const SinkEvent& e : journal.events()) seen |= e.text == L"sio emulation is already stopped";
    EXPECT_TRUE(seen) << "delivered before stop returned";
    // Only a port that leads nowhere may be opened here: COM1 of this machine is its console.
    wchar_t target[1024] = {};
    DWORD size = sizeof target;
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Wine\\Ports", L"COM8", RRF_RT_REG_SZ, nullptr, target, &size),
              ERROR_SUCCESS);
    ASSERT_NE(std::wstring(target).find(L"/nonexistent/"), std::wstring::npos)
        << "COM8 does not lead nowhere; refusing to open it";
    ASSERT_EQ(shell->put_serialPort(8), S_OK);
    BYTE port = 99;
    shell->get_serialPort(&port);
    EXPECT_EQ(port, 0);
    ASSERT_EQ(shell->start(), S_OK);
    EXPECT_TRUE(journal.waitForText(L"cannot start emulation without a valid COM port (CStateStore::start.1)"));
    for (const SinkEvent& e : journal.events()) {
        if (e.id != 4) continue;
        EXPECT_EQ(e.types, (std::vector<VARTYPE>{VT_BSTR, VT_I4}));
    }
}

// Sinks are called in slot order; a freed slot is taken by the next sink; a sink that fails
// every call does not stop the others; the wrong kind of sink and unknown cookies are refused.
TEST_F(ShellTest, Sinks) {
    const DWORD first = advise(new EventSink(journal, 1));
    advise(new EventSink(journal, 2, true, E_FAIL));
    shell->stop();
    std::vector<int> order;
    for (const SinkEvent& e : journal.events()) order.push_back(e.sink);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    ASSERT_EQ(point->Unadvise(first), S_OK);
    cookies.erase(cookies.begin());
    advise(new EventSink(journal, 3));
    journal.clear();
    shell->stop();
    order.clear();
    for (const SinkEvent& e : journal.events()) order.push_back(e.sink);
    EXPECT_EQ(order, (std::vector<int>{3, 2})) << "the third sink took the first slot";

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
    EXPECT_TRUE(journal.waitForText(L"sio emulation is already stopped"));
}

// The newest Shell takes the events from the one before it; releasing it leaves nobody to
// deliver to, so the first Shell stays silent too.
TEST_F(ShellTest, SecondShellTakesTheEvents) {
    advise(new EventSink(journal, 1));
    ComPtr<IShell> second;
    ASSERT_EQ(CoCreateInstance(CLSID_Shell, nullptr, CLSCTX_LOCAL_SERVER, IID_IShell,
                               reinterpret_cast<void**>(second.put())),
              S_OK);
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(second->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.put())), S_OK);
    ComPtr<IConnectionPoint> secondPoint;
    ASSERT_EQ(container->FindConnectionPoint(DIID__IShellEvents, secondPoint.put()), S_OK);
    auto* sink = new EventSink(journal, 2);
    DWORD cookie = 0;
    ASSERT_EQ(secondPoint->Advise(sink, &cookie), S_OK);
    sink->Release();

    journal.clear();
    ASSERT_EQ(shell->stop(), S_OK);  // delivered before it returns
    std::vector<int> sinks;
    for (const SinkEvent& e : journal.events()) sinks.push_back(e.sink);
    EXPECT_EQ(sinks, std::vector<int>{2}) << "the first Shell's own sink no longer hears it";

    secondPoint->Unadvise(cookie);
    secondPoint.reset();
    container.reset();
    second.reset();
    journal.clear();
    ASSERT_EQ(shell->stop(), S_OK);
    EXPECT_TRUE(journal.events().empty()) << "nobody receives once the receiving Shell is gone";
}

int main(int argc, char** argv) {
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
