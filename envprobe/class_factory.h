// The class object of Test, and its registration with COM for the life of the server.
#pragma once

#include "envprobe/com_ptr.h"
#include "envprobe/server_lifetime.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace envprobe {

// Creates CTest objects. Each object and each LockServer(TRUE) holds the server alive; the
// class object itself does not (COM holds it while it is registered).
class CTestFactory final : public IClassFactory {
public:
    // `lifetime` must outlive the factory. Starts with one reference, owned by the caller.
    CTestFactory(ComPtr<ITypeInfo> typeInfo, ServerLifetime& lifetime);
    CTestFactory(const CTestFactory&) = delete;
    CTestFactory& operator=(const CTestFactory&) = delete;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IClassFactory
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

private:
    ~CTestFactory() = default;

    std::atomic<ULONG> references_{1};
    ComPtr<ITypeInfo> typeInfo_;
    ServerLifetime& lifetime_;
    std::mutex locksMutex_;
    std::vector<ServerLifetime::Reference> locks_;
};

// A class object registered with CoRegisterClassObject, revoked when this goes.
class ClassRegistration {
public:
    ClassRegistration() = default;
    ClassRegistration(const ClassRegistration&) = delete;
    ClassRegistration& operator=(const ClassRegistration&) = delete;
    ~ClassRegistration();

    HRESULT registerObject(REFCLSID clsid, IUnknown* classObject, DWORD context, DWORD flags);

private:
    DWORD cookie_ = 0;
    bool registered_ = false;
};

}  // namespace envprobe
