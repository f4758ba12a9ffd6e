// Events arrive with their arguments last-first, as IDispatch passes them; each is coerced to
// the type the event interface declares.
#include "event_forwarder.h"

#include <array>
#include <string>

#include "server/vandrel_idl.h"
#include "tools/console/event_text.h"
#include "tools/console/wide_text.h"

namespace {

enum EventId : DISPID { kStatus = 1, kCommand = 2, kDebug = 3, kError = 4 };

// The arguments of one event, coerced to their declared types and freed together.
class Arguments {
public:
    Arguments() {
        for (VARIANT& v : values_) VariantInit(&v);
    }
    ~Arguments() {
        for (VARIANT& v : values_) VariantClear(&v);
    }
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;

    // False when an argument is missing or will not convert.
    bool take(const DISPPARAMS& params, std::initializer_list<VARTYPE> types) {
        UINT index = 0;
        for (VARTYPE vt : types) {
            if (index >= params.cArgs || index >= values_.size() ||
                FAILED(VariantChangeType(&values_[index], &params.rgvarg[params.cArgs - 1 - index], 0, vt)))
                return false;
            ++index;
        }
        return true;
    }
    const VARIANT& operator[](std::size_t i) const { return values_[i]; }
    std::string text(std::size_t i) const {
        const BSTR b = values_[i].bstrVal;
        return b ? console::narrow(b, SysStringLen(b)) : std::string();
    }

private:
    std::array<VARIANT, 8> values_;
};

}  // namespace

std::vector<PanelEvent> EventForwarder::take() {
    std::lock_guard<std::mutex> hold(lock_);
    return std::exchange(queue_, {});
}

void EventForwarder::detach() {
    std::lock_guard<std::mutex> hold(lock_);
    window_ = nullptr;
}

void EventForwarder::push(PanelEvent event) {
    GetLocalTime(&event.time);
    std::lock_guard<std::mutex> hold(lock_);
    const bool wake = queue_.empty();
    queue_.push_back(std::move(event));
    // One message stands for everything queued until the window takes it; PostMessage does
    // not wait for the window.
    if (wake && window_) PostMessageW(window_, message_, 0, 0);
}

HRESULT EventForwarder::QueryInterface(REFIID iid, void** result) {
    if (!result) return E_POINTER;
    *result = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch) && !IsEqualIID(iid, DIID__IShellEvents))
        return E_NOINTERFACE;
    *result = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
}

ULONG EventForwarder::Release() {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
}

HRESULT EventForwarder::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}

HRESULT EventForwarder::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                               UINT*) {
    if (!params || !(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
    if (result) VariantInit(result);
    Arguments a;
    PanelEvent e;
    switch (id) {
    case kStatus:
    case kDebug:
        if (!a.take(*params, {VT_BSTR})) return DISP_E_BADPARAMCOUNT;
        e.kind = id == kStatus ? LogKind::Status : LogKind::Debug;
        e.text = console::widen(id == kStatus ? a.text(0) : console::debugText(a.text(0)));
        break;
    case kError:
        if (!a.take(*params, {VT_I4, VT_BSTR})) return DISP_E_BADPARAMCOUNT;
        errors_.add(a.text(1));
        e.kind = LogKind::Error;
        e.text = console::widen(console::errorText(a[0].lVal, a.text(1)));
        break;
    case kCommand: {
        if (!a.take(*params, {VT_UI1, VT_UI1, VT_UI1, VT_UI1, VT_UI1, VT_UI1, VT_I4, VT_BSTR}))
            return DISP_E_BADPARAMCOUNT;
        console::CommandEvent c;
        for (int i = 0; i < 5; ++i) c.frame[i] = a[i].bVal;
        c.disk = a[5].bVal;
        c.sector = a[6].lVal;
        c.name = a.text(7);
        e.kind = LogKind::Command;
        e.text = console::widen(console::commandText(c, raw_));
        if (c.disk >= 1 && c.disk <= 9) {
            e.drive = c.disk;
            // The line without its "Dn: " head.
            e.command = console::widen(console::commandText(c, false).substr(4));
        }
        break;
    }
    default:
        return DISP_E_MEMBERNOTFOUND;
    }
    push(std::move(e));
    return S_OK;
}
