// The server's objects in this process: the Test object's COM contract, its IDispatch, the
// class factory, the server's lifetime and the command line. (Under Wine a client's
// LockServer never reaches an out-of-process server, so locks are tested here.)
#include "envprobe/class_factory.h"
#include "envprobe/command_line.h"
#include "envprobe/server_lifetime.h"
#include "envprobe/test_object.h"
#include "tests/envprobe/test_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <memory>
#include <thread>

namespace {

using namespace envprobe;
using namespace envprobe_test;
using namespace std::chrono_literals;

// A pointer value no QueryInterface returns, to see that a failure clears the out pointer.
void* const kGarbage = reinterpret_cast<void*>(static_cast<uintptr_t>(0x5A5A5A50));

class EnvprobeObject : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_HRESULT_SUCCEEDED(apartment_.result());
        ASSERT_HRESULT_SUCCEEDED(loadTestTypeInfo(exePath(), typeInfo_));
        factory_ = ComPtr<IClassFactory>::adopt(new CTestFactory(typeInfo_, lifetime_));
        ASSERT_HRESULT_SUCCEEDED(factory_->CreateInstance(nullptr, kIidTest, test_.putVoid()));
        ASSERT_TRUE(test_);
    }

    ComApartment apartment_{COINIT_MULTITHREADED};
    ServerLifetime lifetime_;
    ComPtr<ITypeInfo> typeInfo_;
    ComPtr<IClassFactory> factory_;
    ComPtr<_Test> test_;
};

// Catches interfaces answered by different pointers (two identities) or a missing AddRef.
TEST_F(EnvprobeObject, QueryInterfaceGivesOneIdentity) {
    ComPtr<IUnknown> unknown;
    ComPtr<IDispatch> dispatch;
    ComPtr<_Test> test;
    ASSERT_HRESULT_SUCCEEDED(test_.queryInterface(IID_IUnknown, unknown));
    ASSERT_HRESULT_SUCCEEDED(test_.queryInterface(IID_IDispatch, dispatch));
    ASSERT_HRESULT_SUCCEEDED(test_.queryInterface(kIidTest, test));
    EXPECT_EQ(static_cast<void*>(unknown.get()), static_cast<void*>(test_.get()));
    EXPECT_EQ(static_cast<void*>(dispatch.get()), static_cast<void*>(test_.get()));
    EXPECT_EQ(static_cast<void*>(test.get()), static_cast<void*>(test_.get()));
    // Four references now: ours from CreateInstance and one for each interface asked for.
    EXPECT_EQ(test_->AddRef(), 5u);
    EXPECT_EQ(test_->Release(), 4u);
}

// Catches a stale out pointer or a reference taken on refusal.
TEST_F(EnvprobeObject, QueryInterfaceRefusesOtherInterfaces) {
    for (const IID* iid : {&IID_IClassFactory, &IID_IPersist, &IID_IStream,
                           &IID_IMarshal, &IID_ITypeInfo}) {
        void* out = kGarbage;
        EXPECT_EQ(test_->QueryInterface(*iid, &out), E_NOINTERFACE);
        EXPECT_EQ(out, nullptr);
    }
    EXPECT_EQ(test_->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(test_->AddRef(), 2u) << "a refused QueryInterface must not add a reference";
    test_->Release();
}

// Catches a cached or shared string: each answer must survive the caller freeing another.
TEST_F(EnvprobeObject, TestItAnswersAFreshStringEachCall) {
    Bstr first, second, third;
    ASSERT_HRESULT_SUCCEEDED(test_->TestIt(first.put()));
    ASSERT_HRESULT_SUCCEEDED(test_->TestIt(second.put()));
    ASSERT_HRESULT_SUCCEEDED(test_->TestIt(third.put()));
    ASSERT_TRUE(first.get() && second.get() && third.get());
    EXPECT_NE(first.get(), second.get());
    EXPECT_NE(second.get(), third.get());
    first.reset();
    EXPECT_EQ(SysStringLen(second.get()), 7u);
    EXPECT_STREQ(second.get(), kAnswer);
    second.reset();
    EXPECT_STREQ(third.get(), kAnswer);
    EXPECT_EQ(test_->TestIt(nullptr), E_POINTER);
}

// Catches a dispatch table that does not follow the type library: names, DISPID, result.
TEST_F(EnvprobeObject, DispatchServesTestItFromTheTypeLibrary) {
    UINT count = 0;
    ASSERT_HRESULT_SUCCEEDED(test_->GetTypeInfoCount(&count));
    EXPECT_EQ(count, 1u);
    ComPtr<ITypeInfo> info;
    ASSERT_HRESULT_SUCCEEDED(test_->GetTypeInfo(0, 0, info.put()));
    TYPEATTR* attributes = nullptr;
    ASSERT_HRESULT_SUCCEEDED(info->GetTypeAttr(&attributes));
    EXPECT_TRUE(IsEqualGUID(attributes->guid, kIidTest));
    info->ReleaseTypeAttr(attributes);
    ITypeInfo* none = info.get();
    EXPECT_EQ(test_->GetTypeInfo(1, 0, &none), DISP_E_BADINDEX);
    EXPECT_EQ(none, nullptr);

    for (const wchar_t* name : {L"TestIt", L"TESTIT", L"testit"}) {
        Bstr text(name);
        LPOLESTR names[] = {text.get()};
        DISPID id = DISPID_UNKNOWN;
        EXPECT_HRESULT_SUCCEEDED(test_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
        EXPECT_EQ(id, kTestItDispId) << narrow(name);
    }
    Bstr unknownName(L"TestThat");
    LPOLESTR unknownNames[] = {unknownName.get()};
    DISPID id = 0;
    EXPECT_EQ(test_->GetIDsOfNames(IID_NULL, unknownNames, 1, 0, &id), DISP_E_UNKNOWNNAME);

    DISPPARAMS noArguments{};
    VARIANT result;
    VariantInit(&result);
    ASSERT_HRESULT_SUCCEEDED(test_->Invoke(kTestItDispId, IID_NULL, 0, DISPATCH_METHOD, &noArguments,
                                           &result, nullptr, nullptr));
    ASSERT_EQ(result.vt, VT_BSTR);
    EXPECT_STREQ(result.bstrVal, kAnswer);
    VariantClear(&result);
    EXPECT_EQ(test_->Invoke(kTestItDispId, kIidTest, 0, DISPATCH_METHOD, &noArguments, &result, nullptr,
                            nullptr),
              DISP_E_UNKNOWNINTERFACE);
    EXPECT_EQ(test_->Invoke(0x60030001, IID_NULL, 0, DISPATCH_METHOD, &noArguments, &result, nullptr,
                            nullptr),
              DISP_E_MEMBERNOTFOUND);
}

// Catches a factory that aggregates, leaks a refused object, or keeps a server with no
// objects and no locks; and an unbalanced LockServer(FALSE) ending a locked server.
TEST_F(EnvprobeObject, ObjectsAndLocksKeepTheServer) {
    void* out = kGarbage;
    ComPtr<IUnknown> outer;
    ASSERT_HRESULT_SUCCEEDED(test_.queryInterface(IID_IUnknown, outer));
    EXPECT_EQ(factory_->CreateInstance(outer.get(), IID_IUnknown, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    outer.reset();
    out = kGarbage;
    EXPECT_EQ(factory_->CreateInstance(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);

    EXPECT_FALSE(lifetime_.tryStop()) << "an object is out";
    ASSERT_HRESULT_SUCCEEDED(factory_->LockServer(TRUE));
    test_.reset();
    EXPECT_FALSE(lifetime_.tryStop()) << "the server is locked";
    ASSERT_HRESULT_SUCCEEDED(factory_->LockServer(TRUE));
    ASSERT_HRESULT_SUCCEEDED(factory_->LockServer(FALSE));
    EXPECT_FALSE(lifetime_.tryStop()) << "one of two locks is still held";
    ASSERT_HRESULT_SUCCEEDED(factory_->LockServer(FALSE));
    EXPECT_EQ(factory_->LockServer(FALSE), E_UNEXPECTED);
    EXPECT_TRUE(lifetime_.tryStop()) << "nothing is out: the refused objects were not leaked";

    // Stopping: nothing new is made in a process about to end.
    out = kGarbage;
    EXPECT_EQ(factory_->CreateInstance(nullptr, kIidTest, &out), CO_E_SERVER_STOPPING);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(factory_->LockServer(TRUE), CO_E_SERVER_STOPPING);
}

// Runs waitUntilUnused on a thread and reports whether it returned within a generous bound.
// The lifetime is shared with the thread so that a hung wait cannot outlive it.
bool waitReturns(std::shared_ptr<ServerLifetime> lifetime, std::chrono::milliseconds firstClientLimit,
                 std::chrono::milliseconds linger, const std::function<void()>& meanwhile) {
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread waiter([lifetime, firstClientLimit, linger, done = std::move(done)]() mutable {
        lifetime->waitUntilUnused(firstClientLimit, linger);
        done.set_value();
    });
    meanwhile();
    if (finished.wait_for(60s) != std::future_status::ready) {
        waiter.detach();
        return false;
    }
    waiter.join();
    return true;
}

// Catches a server that never ends after its last client, or that ends while one is left.
TEST(EnvprobeLifetime, EndsAfterTheLastReleaseOnly) {
    auto lifetime = std::make_shared<ServerLifetime>();
    std::optional<ServerLifetime::Reference> first = lifetime->acquire();
    std::optional<ServerLifetime::Reference> second = lifetime->acquire();
    ASSERT_TRUE(first && second);
    const bool ended = waitReturns(lifetime, 1h, 0ms, [&] {
        first.reset();
        // The waiter may test the count now; one reference is still out, so it must wait on.
        EXPECT_TRUE(lifetime->acquire().has_value()) << "ended with a reference still out";
        second.reset();
    });
    EXPECT_TRUE(ended) << "the wait did not end after the last release";
    EXPECT_FALSE(lifetime->acquire().has_value()) << "a stopped server still hands out references";
}

// Catches a server started by hand (or for a client that went away) running for ever.
TEST(EnvprobeLifetime, EndsWhenNoClientComes) {
    auto lifetime = std::make_shared<ServerLifetime>();
    EXPECT_TRUE(waitReturns(lifetime, 0ms, 1h, [] {}));
    EXPECT_FALSE(lifetime->acquire().has_value());
}

// Catches switches matched with case, with one prefix only, or with stray text accepted.
TEST(EnvprobeCommandLine, SwitchesIgnoreCaseAndPrefix) {
    EXPECT_EQ(parseCommandLine(L""), Mode::Serve);
    EXPECT_EQ(parseCommandLine(nullptr), Mode::Serve);
    EXPECT_EQ(parseCommandLine(L"-Embedding"), Mode::Serve);
    EXPECT_EQ(parseCommandLine(L"/embedding"), Mode::Serve);
    EXPECT_EQ(parseCommandLine(L"-Automation"), Mode::Serve);
    EXPECT_EQ(parseCommandLine(L"/RegServer"), Mode::Register);
    EXPECT_EQ(parseCommandLine(L"-REGSERVER"), Mode::Register);
    EXPECT_EQ(parseCommandLine(L"  /regserver \t"), Mode::Register);
    EXPECT_EQ(parseCommandLine(L"/UnregServer"), Mode::Unregister);
    EXPECT_EQ(parseCommandLine(L"-unregserver"), Mode::Unregister);

    EXPECT_EQ(parseCommandLine(L"RegServer"), Mode::Invalid);
    EXPECT_EQ(parseCommandLine(L"/RegServerX"), Mode::Invalid);
    EXPECT_EQ(parseCommandLine(L"/Reg"), Mode::Invalid);
    EXPECT_EQ(parseCommandLine(L"/RegServer /UnregServer"), Mode::Invalid);
    EXPECT_EQ(parseCommandLine(L"/"), Mode::Invalid);
}

}  // namespace
