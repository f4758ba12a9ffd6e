// CTest: identity, IDispatch through the type library, and TestIt.
#include "envprobe/test_object.h"

#include <utility>

namespace envprobe {

HRESULT loadTestTypeInfo(const std::wstring& modulePath, ComPtr<ITypeInfo>& typeInfo) {
    // REGKIND_NONE: serving must not touch the registry (LoadTypeLib may register).
    ComPtr<ITypeLib> library;
    HRESULT hr = LoadTypeLibEx(modulePath.c_str(), REGKIND_NONE, library.put());
    if (FAILED(hr)) return hr;
    return library->GetTypeInfoOfGuid(IID__Test, typeInfo.put());
}

CTest::CTest(ComPtr<ITypeInfo> typeInfo, ServerLifetime::Reference serverReference)
    : serverReference_(std::move(serverReference)), typeInfo_(std::move(typeInfo)) {}

HRESULT STDMETHODCALLTYPE CTest::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch) && !IsEqualIID(iid, IID__Test))
        return E_NOINTERFACE;
    // One identity: every interface is this one vtable.
    *object = static_cast<_Test*>(this);
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE CTest::AddRef() {
    return ++references_;
}

ULONG STDMETHODCALLTYPE CTest::Release() {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
}

HRESULT STDMETHODCALLTYPE CTest::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CTest::GetTypeInfo(UINT index, LCID, ITypeInfo** typeInfo) {
    if (!typeInfo) return E_POINTER;
    *typeInfo = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    *typeInfo = ComPtr<ITypeInfo>(typeInfo_).detach();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CTest::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT nameCount, LCID,
                                               DISPID* dispIds) {
    if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return typeInfo_->GetIDsOfNames(names, nameCount, dispIds);
}

HRESULT STDMETHODCALLTYPE CTest::Invoke(DISPID dispId, REFIID iid, LCID, WORD flags,
                                        DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                        UINT* argumentError) {
    if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return typeInfo_->Invoke(static_cast<_Test*>(this), dispId, flags, params, result, exception,
                             argumentError);
}

HRESULT STDMETHODCALLTYPE CTest::TestIt(BSTR* result) {
    if (!result) return E_POINTER;
    // A new string on every call: the caller owns and frees it.
    *result = SysAllocString(kTestItText);
    return *result ? S_OK : E_OUTOFMEMORY;
}

}  // namespace envprobe
