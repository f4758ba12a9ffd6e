// The class object, the server's lock count and the Shell's connection interfaces, called
// directly in this process: the parts that Wine does not carry between processes
// (IClassFactory::LockServer, IEnumConnections::Next) and the contracts of each interface.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "server/class_factory.h"
#include "server/com_support.h"
#include "server/server_lock.h"
#include "server/vandrel_idl.h"
#include "tests/shell/event_sink.h"

namespace {

std::atomic<int> idleCalls{0};
void countIdle() { ++idleCalls; }

// An IUnknown that only stands for an outer object; it must never be called.
class Outer final : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** result) override {
        ADD_FAILURE() << "the outer object was called";
        *result = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

// The reference count of a sink, read without changing it.
ULONG refsOf(IUnknown* u) {
    u->AddRef();
    return u->Release();
}

bool sameObject(IUnknown* a, IUnknown* b) {
    ComPtr<IUnknown> ua, ub;
    if (FAILED(a->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(ua.put())))) return false;
    if (FAILED(b->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(ub.put())))) return false;
    return ua.get() == ub.get();
}

class InProcess : public ::testing::Test {
protected:
    void SetUp() override {
        idleCalls = 0;
        setServerIdleHandler(countIdle);
        ASSERT_EQ(serverLockCount(), 0) << "an earlier test left an object or a lock";
        factory = ComPtr<IClassFactory>::adopt(new CShellFactory);
    }
    void TearDown() override {
        factory.reset();
        EXPECT_EQ(serverLockCount(), 0);
        setServerIdleHandler(nullptr);
    }
    ComPtr<IShell> create() {
        ComPtr<IShell> shell;
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IShell, reinterpret_cast<void**>(shell.put())), S_OK);
        return shell;
    }
    ComPtr<IConnectionPoint> pointOf(IShell* shell) {
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point;
        EXPECT_EQ(shell->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.put())),
                  S_OK);
        if (container) {
            EXPECT_EQ(container->FindConnectionPoint(DIID__IShellEvents, point.put()), S_OK);
        }
        return point;
    }
    // A new sink's creation reference, released when the test's hold ends.
    static ComPtr<IDispatch> owned(IDispatch* sink) { return ComPtr<IDispatch>::adopt(sink); }

    ComPtr<IClassFactory> factory;
    Journal journal;
};

// CreateInstance's refusals leave no object behind: the lock count is back where it was and
// the idle handler has run once for the object that was made and dropped.
TEST_F(InProcess, CreateInstanceRefusals) {
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IShell, nullptr), E_POINTER);
    Outer outer;
    void* result = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(&outer, IID_IShell, &result), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(serverLockCount(), 0);
    EXPECT_EQ(idleCalls, 0) << "no object was made";

    for (const IID* iid : {&IID_IClassFactory, &IID_IConnectionPoint, &IID_IPersist}) {
        result = reinterpret_cast<void*>(1);
        EXPECT_EQ(factory->CreateInstance(nullptr, *iid, &result), E_NOINTERFACE);
        EXPECT_EQ(result, nullptr);
        EXPECT_EQ(serverLockCount(), 0) << "the unwanted object is destroyed";
    }
    EXPECT_EQ(idleCalls, 3);
}

// LockServer and objects share one count; the class object's own references are not in it.
// The idle handler runs each time the count falls to zero, and only then.
TEST_F(InProcess, LockServerAndObjects) {
    factory->AddRef();
    ComPtr<IClassFactory> again;
    ASSERT_EQ(factory->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(again.put())), S_OK);
    factory->Release();
    EXPECT_EQ(serverLockCount(), 0) << "class object references do not count";

    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(serverLockCount(), 1);
    {
        ComPtr<IShell> shell = create();
        EXPECT_EQ(serverLockCount(), 2);
    }
    EXPECT_EQ(serverLockCount(), 1);
    EXPECT_EQ(idleCalls, 0) << "the lock still holds the server";
    ASSERT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(serverLockCount(), 0);
    EXPECT_EQ(idleCalls, 1);

    {
        ComPtr<IShell> shell = create();
        ASSERT_EQ(factory->LockServer(TRUE), S_OK);
        shell.reset();
        EXPECT_EQ(idleCalls, 1) << "the lock outlives the object";
        ASSERT_EQ(factory->LockServer(FALSE), S_OK);
    }
    EXPECT_EQ(idleCalls, 2);

    // An enumerator counts as an object of its own and keeps its Shell.
    ComPtr<IEnumConnectionPoints> points;
    {
        ComPtr<IShell> shell = create();
        ComPtr<IConnectionPointContainer> container;
        ASSERT_EQ(shell->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.put())),
                  S_OK);
        ASSERT_EQ(container->EnumConnectionPoints(points.put()), S_OK);
    }
    EXPECT_EQ(idleCalls, 2) << "the enumerator keeps the server";
    EXPECT_GT(serverLockCount(), 0);
    points.reset();
    EXPECT_EQ(serverLockCount(), 0);
    EXPECT_EQ(idleCalls, 3);
}

// QueryInterface offers exactly IUnknown, IDispatch, IShell, ISupportErrorInfo and
// IConnectionPointContainer, all of one identity; error information is declared for IShell only.
TEST_F(InProcess, InterfacesOfAShell) {
    ComPtr<IShell> shell = create();
    ASSERT_TRUE(shell);
    for (const IID* iid : {&IID_IUnknown, &IID_IDispatch, &IID_IShell, &IID_ISupportErrorInfo,
                           &IID_IConnectionPointContainer}) {
        ComPtr<IUnknown> got;
        ASSERT_EQ(shell->QueryInterface(*iid, reinterpret_cast<void**>(got.put())), S_OK);
        EXPECT_TRUE(sameObject(got.get(), shell.get()));
    }
    for (const IID* iid : {&IID_IConnectionPoint, &IID_IClassFactory, &IID_IPersist, &IID_IProvideClassInfo,
                           &DIID__IShellEvents, &IID_IMarshal}) {
        void* got = reinterpret_cast<void*>(1);
        EXPECT_EQ(shell->QueryInterface(*iid, &got), E_NOINTERFACE);
        EXPECT_EQ(got, nullptr);
    }
    ComPtr<ISupportErrorInfo> errors;
    ASSERT_EQ(shell->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(errors.put())), S_OK);
    EXPECT_EQ(errors->InterfaceSupportsErrorInfo(IID_IShell), S_OK);
    EXPECT_EQ(errors->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
    EXPECT_EQ(errors->InterfaceSupportsErrorInfo(DIID__IShellEvents), S_FALSE);
}

// The container has one connection point, for _IShellEvents, which leads back to it.
TEST_F(InProcess, ConnectionPoints) {
    ComPtr<IShell> shell = create();
    ASSERT_TRUE(shell);
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(shell->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.put())), S_OK);
    ComPtr<IConnectionPoint> found;
    ASSERT_EQ(container->FindConnectionPoint(DIID__IShellEvents, found.put()), S_OK);
    IConnectionPoint* none = reinterpret_cast<IConnectionPoint*>(1);
    EXPECT_EQ(container->FindConnectionPoint(IID_IShell, &none), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, &none), CONNECT_E_NOCONNECTION);

    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(container->EnumConnectionPoints(points.put()), S_OK);
    IConnectionPoint* got[2] = {};
    ULONG fetched = 9;
    EXPECT_EQ(points->Next(2, got, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 1u);
    ComPtr<IConnectionPoint> only = ComPtr<IConnectionPoint>::adopt(got[0]);
    EXPECT_EQ(only.get(), found.get());
    EXPECT_EQ(points->Next(1, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);

    IID iid{};
    EXPECT_EQ(only->GetConnectionInterface(&iid), S_OK);
    EXPECT_TRUE(IsEqualIID(iid, DIID__IShellEvents));
    ComPtr<IConnectionPointContainer> back;
    ASSERT_EQ(only->GetConnectionPointContainer(back.put()), S_OK);
    EXPECT_TRUE(sameObject(back.get(), shell.get()));
}

// EnumConnections lists every sink with the cookie Advise gave it, holding its own references
// (given back when it ends, also by a clone), and is a snapshot.
TEST_F(InProcess, EnumConnections) {
    ComPtr<IShell> shell = create();
    ASSERT_TRUE(shell);
    ComPtr<IConnectionPoint> point = pointOf(shell.get());
    ASSERT_TRUE(point);
    auto* first = new EventSink(journal, 1);
    auto* second = new EventSink(journal, 2);
    DWORD cookies[2] = {};
    ASSERT_EQ(point->Advise(first, &cookies[0]), S_OK);
    ASSERT_EQ(point->Advise(second, &cookies[1]), S_OK);
    EXPECT_NE(cookies[0], 0u);
    EXPECT_NE(cookies[1], 0u);
    EXPECT_NE(cookies[0], cookies[1]);
    const ULONG firstRefs = refsOf(first), secondRefs = refsOf(second);

    {
        ComPtr<IEnumConnections> connections;
        ASSERT_EQ(point->EnumConnections(connections.put()), S_OK);
        ComPtr<IEnumConnections> clone;
        ASSERT_EQ(connections->Clone(clone.put()), S_OK);
        ASSERT_EQ(point->Unadvise(cookies[1]), S_OK);  // the enumerators keep their snapshot
        for (IEnumConnections* e : {connections.get(), clone.get()}) {
            CONNECTDATA data[3] = {};
            ULONG fetched = 0;
            EXPECT_EQ(e->Next(3, data, &fetched), S_FALSE);
            ASSERT_EQ(fetched, 2u);
            EXPECT_EQ(data[0].dwCookie, cookies[0]);
            EXPECT_EQ(data[1].dwCookie, cookies[1]);
            EXPECT_TRUE(sameObject(data[0].pUnk, first));
            EXPECT_TRUE(sameObject(data[1].pUnk, second));
            for (CONNECTDATA& d : data)
                if (d.pUnk) d.pUnk->Release();
        }
        EXPECT_EQ(connections->Reset(), S_OK);
        EXPECT_EQ(connections->Skip(1), S_OK);
        CONNECTDATA one{};
        EXPECT_EQ(connections->Next(1, &one, nullptr), S_OK);
        EXPECT_EQ(one.dwCookie, cookies[1]);
        if (one.pUnk) one.pUnk->Release();
        EXPECT_EQ(connections->Skip(1), S_FALSE);
    }
    // With both enumerators gone the sinks hold what they held before, less the released slot.
    EXPECT_EQ(refsOf(first), firstRefs);
    EXPECT_EQ(refsOf(second), secondRefs - 1);
    ASSERT_EQ(point->Unadvise(cookies[0]), S_OK);
    EXPECT_EQ(refsOf(first), firstRefs - 1);
    first->Release();
    second->Release();
}

// Only the newest Shell sends events; releasing it gives them back to the one before, and a
// Shell that comes and goes leaves the others as they were.
TEST_F(InProcess, NewestShellTakesTheEvents) {
    ComPtr<IShell> older = create();
    ASSERT_TRUE(older);
    ComPtr<IConnectionPoint> olderPoint = pointOf(older.get());
    DWORD olderCookie = 0;
    ASSERT_EQ(olderPoint->Advise(owned(new EventSink(journal, 1)).get(), &olderCookie), S_OK);
    // Each look swaps a pair of drives of its own, so that a line left over from an earlier
    // test cannot be taken for it.
    int looks = 0;
    auto sinksThatHeard = [&](IShell* through) {
        const BYTE d = static_cast<BYTE>(++looks);
        const std::wstring line = L"swapped disk " + std::to_wstring(d) + L" and " + std::to_wstring(d + 1);
        EXPECT_EQ(through->swapDisks(d, static_cast<BYTE>(d + 1)), S_OK);
        EXPECT_TRUE(journal.waitForText(line));
        std::vector<int> sinks;
        for (const SinkEvent& e : journal.events())
            if (e.text == line) sinks.push_back(e.sink);
        return sinks;
    };
    EXPECT_EQ(sinksThatHeard(older.get()), std::vector<int>{1});

    ComPtr<IShell> newer = create();
    ASSERT_TRUE(newer);
    ComPtr<IConnectionPoint> newerPoint = pointOf(newer.get());
    DWORD newerCookie = 0;
    ASSERT_EQ(newerPoint->Advise(owned(new EventSink(journal, 2)).get(), &newerCookie), S_OK);
    EXPECT_EQ(sinksThatHeard(older.get()), std::vector<int>{2}) << "through the older object, to the newer";
    {
        ComPtr<IShell> between = create();  // comes and goes on top
        ASSERT_TRUE(between);
    }
    EXPECT_EQ(sinksThatHeard(older.get()), std::vector<int>{2});
    newerPoint.reset();
    newer.reset();
    EXPECT_EQ(sinksThatHeard(older.get()), std::vector<int>{1}) << "the older Shell hears again";
    EXPECT_EQ(olderPoint->Unadvise(olderCookie), S_OK);
}

// A sink whose client has gone is dropped at its first failed call; one that merely fails
// keeps its slot and hears the next event.
TEST_F(InProcess, GoneSinkIsDropped) {
    ComPtr<IShell> shell = create();
    ASSERT_TRUE(shell);
    ComPtr<IConnectionPoint> point = pointOf(shell.get());
    const HRESULT answers[] = {RPC_E_DISCONNECTED, E_FAIL, HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), S_OK};
    DWORD cookies[4] = {};
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(point->Advise(owned(new EventSink(journal, i, true, answers[i])).get(), &cookies[i]), S_OK);
    // The first event reaches all four; the second only the two whose clients are still there.
    for (BYTE d : {1, 3}) {
        const std::wstring line = L"swapped disk " + std::to_wstring(d) + L" and " + std::to_wstring(d + 1);
        ASSERT_EQ(shell->swapDisks(d, static_cast<BYTE>(d + 1)), S_OK);
        ASSERT_TRUE(journal.waitFor([&](const SinkEvent& e) { return e.text == line; }, d == 1 ? 4 : 2));
    }
    std::vector<int> sinks;
    for (const SinkEvent& e : journal.events())
        if (e.text == L"swapped disk 3 and 4") sinks.push_back(e.sink);
    EXPECT_EQ(sinks, (std::vector<int>{1, 3}));
    EXPECT_EQ(point->Unadvise(cookies[0]), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(point->Unadvise(cookies[2]), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(point->Unadvise(cookies[1]), S_OK);
    EXPECT_EQ(point->Unadvise(cookies[3]), S_OK);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const int result = RUN_ALL_TESTS();
    CoUninitialize();
    return result;
}
