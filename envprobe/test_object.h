// CTest, the one class envprobe serves: TestIt answers "Orvalle"; IDispatch comes from the
// type library.
#pragma once

#include "envprobe/com_ptr.h"
#include "envprobe/server_lifetime.h"
#include "envprobe_h.h"

#include <atomic>
#include <string>

namespace envprobe {

// The text TestIt answers.
inline constexpr wchar_t kTestItText[] = L"Orvalle";

// Loads the type library carried in `modulePath` without registering it and returns the
// type information of _Test, which every CTest shares for its IDispatch.
HRESULT loadTestTypeInfo(const std::wstring& modulePath, ComPtr<ITypeInfo>& typeInfo);

// No state of its own; free-threaded (the server's apartment is multithreaded). Keeps the
// server alive through the reference it holds.
class CTest final : public _Test {
public:
    // Hands back the new object with one reference, owned by the caller.
    CTest(ComPtr<ITypeInfo> typeInfo, ServerLifetime::Reference serverReference);
    CTest(const CTest&) = delete;
    CTest& operator=(const CTest&) = delete;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IDispatch, served by the cached ITypeInfo.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** typeInfo) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT nameCount, LCID lcid,
                                            DISPID* dispIds) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispId, REFIID iid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                     UINT* argumentError) override;

    // _Test
    HRESULT STDMETHODCALLTYPE TestIt(BSTR* result) override;

private:
    ~CTest() = default;

    std::atomic<ULONG> references_{1};
    // Declared before what else the object holds, so given back last: once the count is
    // zero the server may end, and nothing of this object may still be releasing then.
    ServerLifetime::Reference serverReference_;
    ComPtr<ITypeInfo> typeInfo_;
};

}  // namespace envprobe
