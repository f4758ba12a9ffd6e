// The panel's _IShellEvents sink. It never does the window's work on the server's call: it
// copies the event into its queue, posts one message to the window when the queue was empty,
// and returns. The window takes the queue from its own message loop.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "server/com_support.h"
#include "tools/console/call_errors.h"
#include "tools/panel/panel_event.h"

// A COM object with its own reference count (it starts at 1, owned by its creator); it may be
// called on any thread.
class EventForwarder final : public IDispatch {
public:
    // raw: command lines also show the frame's five bytes.
    EventForwarder(HWND window, UINT message, bool raw) : window_(window), message_(message), raw_(raw) {}

    // The events queued since the last call, oldest first.
    std::vector<PanelEvent> take();
    // No more messages to the window (which is about to go); events are still queued.
    void detach();
    // The Error events so far, by which a call of the front end is judged.
    console::CallErrors& errors() { return errors_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO*, UINT*) override;

private:
    void push(PanelEvent event);

    std::atomic<ULONG> refs_{1};
    console::CallErrors errors_;
    std::mutex lock_;  // guards queue_ and window_
    std::vector<PanelEvent> queue_;
    HWND window_;
    const UINT message_;
    const bool raw_;
};
