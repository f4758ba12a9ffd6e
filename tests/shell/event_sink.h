// A client-side _IShellEvents sink that records every event with its argument types.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "server/com_support.h"
#include "server/vandrel_idl.h"

struct SinkEvent {
    DISPID id = 0;
    std::vector<VARTYPE> types;  // as received: last parameter first
    std::vector<long> numbers;   // the numeric arguments in parameter order
    std::wstring text;           // the one string argument
    int sink = 0;                // which sink got it (for order checks)
};

// Every sink of a test appends to one shared journal, so the order across sinks is visible.
class Journal {
public:
    void add(const SinkEvent& e) {
        std::lock_guard<std::mutex> hold(m_);
        events_.push_back(e);
        cv_.notify_all();
    }
    std::vector<SinkEvent> events() {
        std::lock_guard<std::mutex> hold(m_);
        return events_;
    }
    void clear() {
        std::lock_guard<std::mutex> hold(m_);
        events_.clear();
    }
    // Waits until `count` events match.
    bool waitFor(const std::function<bool(const SinkEvent&)>& match, std::size_t count = 1, int timeoutMs = 10000) {
        std::unique_lock<std::mutex> hold(m_);
        return cv_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
            std::size_t n = 0;
            for (const SinkEvent& e : events_) n += match(e);
            return n >= count;
        });
    }
    bool waitForText(const std::wstring& text, int timeoutMs = 10000) {
        return waitFor([&](const SinkEvent& e) { return e.text == text; }, 1, timeoutMs);
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<SinkEvent> events_;
};

class EventSink final : public IDispatch {
public:
    // Runs on the COM thread that delivers the event, before the event is journalled: a
    // test that saw the event knows its handler has returned.
    using Handler = std::function<void(const SinkEvent&)>;

    EventSink(Journal& journal, int id, bool offersEvents = true, HRESULT answer = S_OK, Handler handler = {})
        : journal_(journal), id_(id), offersEvents_(offersEvents), answer_(answer), handler_(std::move(handler)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override {
        if (!result) return E_POINTER;
        *result = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
            (offersEvents_ && IsEqualIID(iid, DIID__IShellEvents))) {
            *result = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT*,
                                     EXCEPINFO*, UINT*) override {
        SinkEvent e;
        e.id = id;
        e.sink = id_;
        if (!(flags & DISPATCH_METHOD) || !params) return E_INVALIDARG;
        for (UINT i = 0; i < params->cArgs; ++i) {
            const VARIANTARG& a = params->rgvarg[i];
            e.types.push_back(a.vt);
        }
        // Parameter order is the reverse of the array.
        for (UINT i = params->cArgs; i-- > 0;) {
            const VARIANTARG& a = params->rgvarg[i];
            if (a.vt == VT_BSTR) e.text = a.bstrVal ? a.bstrVal : L"";
            else if (a.vt == VT_UI1) e.numbers.push_back(a.bVal);
            else if (a.vt == VT_I4) e.numbers.push_back(a.lVal);
        }
        if (handler_) handler_(e);
        journal_.add(e);
        return answer_;
    }

private:
    std::atomic<ULONG> refs_{1};
    Journal& journal_;
    int id_;
    bool offersEvents_;
    HRESULT answer_;
    Handler handler_;
};
