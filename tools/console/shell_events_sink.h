// What every front end's _IShellEvents sink shares: the COM object, and the events decoded
// from their IDispatch calls. A front end says only what it does with each event.
#pragma once

#include <atomic>
#include <string>

#include "server/com_support.h"
#include "tools/console/call_errors.h"
#include "tools/console/event_text.h"

namespace console {

// A COM object with its own reference count (it starts at 1, owned by its creator). The
// server calls it on threads of its choosing, so what a front end does with an event must be
// thread-safe and must not wait for that front end's own thread.
class ShellEventsSink : public IDispatch {
public:
    // The Error events so far, by which a call of the front end is judged.
    CallErrors& errors() { return errors_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) final;
    ULONG STDMETHODCALLTYPE AddRef() final { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() final;
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) final;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) final { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) final { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO*, UINT*) final;

protected:
    ShellEventsSink() = default;
    virtual ~ShellEventsSink() = default;

    virtual void status(const std::string& message) = 0;
    virtual void command(const CommandEvent& event) = 0;
    virtual void debug(const std::string& message) = 0;
    // Called after the text has joined errors().
    virtual void error(long number, const std::string& message) = 0;

private:
    std::atomic<ULONG> refs_{1};
    CallErrors errors_;
};

}  // namespace console
