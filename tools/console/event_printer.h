// The console front end's _IShellEvents sink: prints every event as one trace line.
#pragma once

#include <atomic>

#include "server/com_support.h"
#include "tools/console/call_errors.h"
#include "tools/console/trace_writer.h"

namespace console {

// A COM object with its own reference count (it starts at 1, owned by its creator); the
// server calls it on threads of its choosing, so everything it touches is thread-safe.
class EventPrinter final : public IDispatch {
public:
    EventPrinter(TraceWriter& out, bool raw) : out_(out), raw_(raw) {}

    // The Error events so far, by which a call is judged.
    CallErrors& errors() { return errors_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO*, UINT*) override;

private:
    std::atomic<ULONG> refs_{1};
    CallErrors errors_;
    TraceWriter& out_;
    bool raw_;
};

}  // namespace console
