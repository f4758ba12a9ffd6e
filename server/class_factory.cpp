// The class object of Shell. Its own references do not keep the server alive; its locks do.
#include "server/class_factory.h"

#include "server/server_lock.h"
#include "server/shell.h"

HRESULT CShellFactory::QueryInterface(REFIID iid, void** result) {
    if (!result) return E_POINTER;
    *result = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;
    *result = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
}

ULONG CShellFactory::Release() {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
}

HRESULT CShellFactory::CreateInstance(IUnknown* outer, REFIID iid, void** result) {
    if (!result) return E_POINTER;
    *result = nullptr;
    // Inside an aggregate only IUnknown may be asked for. (The runtime never aggregates an
    // object of another process, so an outer object reaches here only from within.)
    if (outer && !IsEqualIID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    return CShell::create(iid, result);
}

HRESULT CShellFactory::LockServer(BOOL lock) {
    lock ? serverLock() : serverUnlock();
    return S_OK;
}
