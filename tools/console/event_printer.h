// The console front end's _IShellEvents sink: prints every event as one trace line.
#pragma once

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "server/com_support.h"
#include "tools/console/trace_writer.h"

namespace console {

// A COM object with its own reference count (it starts at 1, owned by its creator); the
// server calls it on threads of its choosing, so everything it touches is thread-safe.
class EventPrinter final : public IDispatch {
public:
    EventPrinter(TraceWriter& out, bool raw) : out_(out), raw_(raw) {}

    // The texts of the Error events so far. A call is judged by those that came during it
    // and name its own operation: an error of the bus meanwhile is not the call's.
    std::size_t errorCount();
    bool errorSince(std::size_t mark, const std::vector<const char*>& locations);

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
    std::mutex lock_;
    std::deque<std::string> errors_;  // the latest, so that a day of bus errors stays small
    std::size_t dropped_ = 0;         // older ones let go
    TraceWriter& out_;
    bool raw_;
};

}  // namespace console
