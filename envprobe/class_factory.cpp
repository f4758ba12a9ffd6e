// CTestFactory and the class object's registration.
#include "envprobe/class_factory.h"

#include "envprobe/test_object.h"

#include <new>
#include <utility>

namespace envprobe {

CTestFactory::CTestFactory(ComPtr<ITypeInfo> typeInfo, ServerLifetime& lifetime)
    : typeInfo_(std::move(typeInfo)), lifetime_(lifetime) {}

HRESULT STDMETHODCALLTYPE CTestFactory::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;
    *object = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE CTestFactory::AddRef() {
    return ++references_;
}

ULONG STDMETHODCALLTYPE CTestFactory::Release() {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
}

HRESULT STDMETHODCALLTYPE CTestFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    std::optional<ServerLifetime::Reference> reference = lifetime_.acquire();
    if (!reference) return CO_E_SERVER_STOPPING;
    auto test = ComPtr<CTest>::adopt(new (std::nothrow) CTest(typeInfo_, std::move(*reference)));
    if (!test) return E_OUTOFMEMORY;
    return test->QueryInterface(iid, object);
}

HRESULT STDMETHODCALLTYPE CTestFactory::LockServer(BOOL lock) {
    std::lock_guard guard(locksMutex_);
    if (lock) {
        std::optional<ServerLifetime::Reference> reference = lifetime_.acquire();
        if (!reference) return CO_E_SERVER_STOPPING;
        locks_.push_back(std::move(*reference));
        return S_OK;
    }
    // An unlock without a lock is the client's mistake; it must not end the server early.
    if (locks_.empty()) return E_UNEXPECTED;
    locks_.pop_back();
    return S_OK;
}

ClassRegistration::~ClassRegistration() {
    if (registered_) CoRevokeClassObject(cookie_);
}

HRESULT ClassRegistration::registerObject(REFCLSID clsid, IUnknown* classObject, DWORD context,
                                          DWORD flags) {
    if (registered_) return E_UNEXPECTED;
    const HRESULT hr = CoRegisterClassObject(clsid, classObject, context, flags, &cookie_);
    registered_ = SUCCEEDED(hr);
    return hr;
}

}  // namespace envprobe
