// A client in its own process: envprobe.Test created through COM's activation from the
// registration, called through the type library marshaler, and the server's exit after it.
#include "tests/envprobe/test_support.h"
#include "envprobe_h.h"

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace envprobe;
using namespace envprobe_test;

class EnvprobeClient : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_HRESULT_SUCCEEDED(apartment_.result());
        ASSERT_HRESULT_SUCCEEDED(
            CoCreateInstance(kClsidTest, nullptr, CLSCTX_LOCAL_SERVER, kIidTest, test_.putVoid()));
        ASSERT_TRUE(test_);
    }

    // A front end's thread: single-threaded apartment.
    ComApartment apartment_{COINIT_APARTMENTTHREADED};
    ComPtr<_Test> test_;
};

// Catches the vtable entry and the dispatch entry disagreeing, or a result that does not
// survive marshaling.
TEST_F(EnvprobeClient, VtableAndDispatchGiveTheSameAnswer) {
    Bstr direct;
    ASSERT_HRESULT_SUCCEEDED(test_->TestIt(direct.put()));
    ASSERT_TRUE(direct.get());
    EXPECT_EQ(SysStringLen(direct.get()), 7u);
    EXPECT_STREQ(direct.get(), kAnswer);

    ComPtr<IDispatch> dispatch;
    ASSERT_HRESULT_SUCCEEDED(test_.queryInterface(IID_IDispatch, dispatch));
    DISPPARAMS noArguments{};
    VARIANT result;
    VariantInit(&result);
    ASSERT_HRESULT_SUCCEEDED(dispatch->Invoke(kTestItDispId, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                              &noArguments, &result, nullptr, nullptr));
    ASSERT_EQ(result.vt, VT_BSTR);
    EXPECT_STREQ(result.bstrVal, direct.get());
    VariantClear(&result);
}

// Catches a server that hands out one string twice (the marshaler frees the server's copy:
// a shared one would be freed under the next call) or fails on repeated calls.
TEST_F(EnvprobeClient, EveryCallReturnsAFreshString) {
    ComPtr<IDispatch> dispatch;
    ASSERT_HRESULT_SUCCEEDED(test_.queryInterface(IID_IDispatch, dispatch));
    Bstr kept;
    ASSERT_HRESULT_SUCCEEDED(test_->TestIt(kept.put()));
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        Bstr answer;
        ASSERT_HRESULT_SUCCEEDED(test_->TestIt(answer.put()));
        EXPECT_STREQ(answer.get(), kAnswer);
        EXPECT_NE(answer.get(), kept.get());
        DISPPARAMS noArguments{};
        VARIANT result;
        VariantInit(&result);
        ASSERT_HRESULT_SUCCEEDED(dispatch->Invoke(kTestItDispId, IID_NULL, 0, DISPATCH_METHOD, &noArguments,
                                                  &result, nullptr, nullptr));
        ASSERT_EQ(result.vt, VT_BSTR);
        EXPECT_STREQ(result.bstrVal, kAnswer);
        VariantClear(&result);
    }
    EXPECT_STREQ(kept.get(), kAnswer) << "an earlier answer changed under later calls";
}

// Catches a name a script would use not resolving to the recorded DISPID across processes.
TEST_F(EnvprobeClient, TestItNameGivesItsDispid) {
    ComPtr<IDispatch> dispatch;
    ASSERT_HRESULT_SUCCEEDED(test_.queryInterface(IID_IDispatch, dispatch));
    Bstr name(L"TestIt");
    LPOLESTR names[] = {name.get()};
    DISPID id = DISPID_UNKNOWN;
    ASSERT_HRESULT_SUCCEEDED(dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
    EXPECT_EQ(id, kTestItDispId);
    UINT count = 0;
    ASSERT_HRESULT_SUCCEEDED(dispatch->GetTypeInfoCount(&count));
    EXPECT_EQ(count, 1u);
}

// Catches a program identifier that names another class, and interfaces of one object that
// COM sees as two (they must give one IUnknown).
TEST_F(EnvprobeClient, ProgIdCreatesTheSameObjectKind) {
    CLSID clsid{};
    ASSERT_HRESULT_SUCCEEDED(CLSIDFromProgID(kProgId, &clsid));
    EXPECT_TRUE(IsEqualCLSID(clsid, kClsidTest));
    ComPtr<IDispatch> byProgId;
    ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                              byProgId.putVoid()));
    ComPtr<IUnknown> fromDispatch, fromTest;
    ComPtr<IDispatch> dispatch;
    ASSERT_HRESULT_SUCCEEDED(test_.queryInterface(IID_IDispatch, dispatch));
    ASSERT_HRESULT_SUCCEEDED(dispatch.queryInterface(IID_IUnknown, fromDispatch));
    ASSERT_HRESULT_SUCCEEDED(test_.queryInterface(IID_IUnknown, fromTest));
    EXPECT_EQ(fromDispatch.get(), fromTest.get());
    ComPtr<IUnknown> other;
    ASSERT_HRESULT_SUCCEEDED(byProgId.queryInterface(IID_IUnknown, other));
    EXPECT_NE(other.get(), fromTest.get()) << "each creation makes a new object";
    ComPtr<IUnknown> notThere;
    EXPECT_EQ(test_.queryInterface(IID_IClassFactory, notThere), E_NOINTERFACE);
}

// Every running envprobe.exe of this prefix, opened so that we can wait for it.
struct Servers {
    std::vector<Handle> processes;
    std::vector<DWORD> ids;
};

Servers openServers() {
    const std::wstring exeName = exePath().substr(exePath().find_last_of(L'\\') + 1);
    Servers servers;
    Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.valid()) return servers;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (!sameTextIgnoringCase(entry.szExeFile, exeName)) continue;
        Handle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE,
                                   entry.th32ProcessID));
        if (process.valid()) {
            servers.ids.push_back(entry.th32ProcessID);
            servers.processes.push_back(std::move(process));
        }
    }
    return servers;
}

// Expects each server to end by itself with exit code 0 within a generous bound (a server
// lingers about two seconds after its last release). One that does not is a server whose
// clients are gone and which Wine would keep for ever: it is ended here (it is this test's
// own server) so that the prefix can shut down.
void expectServersEnd(const Servers& servers) {
    const ULONGLONG deadline = GetTickCount64() + 60000;
    for (size_t i = 0; i < servers.processes.size(); ++i) {
        SCOPED_TRACE("process " + std::to_string(servers.ids[i]));
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (WaitForSingleObject(servers.processes[i].get(), left) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "the server is still running a minute after its last client left";
            TerminateProcess(servers.processes[i].get(), 1);
            continue;
        }
        DWORD code = STILL_ACTIVE;
        EXPECT_TRUE(GetExitCodeProcess(servers.processes[i].get(), &code));
        EXPECT_EQ(code, 0u);
    }
}

// Catches a server that stays after its last client has released everything, or that ends
// with a failure code.
TEST(EnvprobeServer, EndsAfterItsLastClientLeaves) {
    Servers servers;
    {
        ComApartment apartment(COINIT_APARTMENTTHREADED);
        ASSERT_HRESULT_SUCCEEDED(apartment.result());
        ComPtr<_Test> test;
        ASSERT_HRESULT_SUCCEEDED(
            CoCreateInstance(kClsidTest, nullptr, CLSCTX_LOCAL_SERVER, kIidTest, test.putVoid()));
        Bstr answer;
        ASSERT_HRESULT_SUCCEEDED(test->TestIt(answer.put()));
        // Opened while the object is out, so that the server cannot be gone yet.
        servers = openServers();
        ASSERT_FALSE(servers.processes.empty()) << "no server process serves the object";
    }
    expectServersEnd(servers);
}

// Catches clients that leave objects behind (a script host that exits without releasing):
// after the other tests, or after a script client (run_script.sh runs this one alone), no
// server may be left running.
TEST(EnvprobeServer, NoServerOutlivesItsClients) {
    expectServersEnd(openServers());
}

}  // namespace
