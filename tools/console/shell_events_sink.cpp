// Events arrive with their arguments last-first, as IDispatch passes them; each is coerced to
// the type the event interface declares, so that a caller passing a near type still reads well.
#include "tools/console/shell_events_sink.h"

#include <array>
#include <initializer_list>

#include "server/vandrel_idl.h"
#include "tools/console/wide_text.h"

namespace console {
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
        return b ? narrow(b, SysStringLen(b)) : std::string();
    }

private:
    std::array<VARIANT, 8> values_;
};

}  // namespace

HRESULT ShellEventsSink::QueryInterface(REFIID iid, void** result) {
    if (!result) return E_POINTER;
    *result = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch) && !IsEqualIID(iid, DIID__IShellEvents))
        return E_NOINTERFACE;
    *result = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
}

ULONG ShellEventsSink::Release() {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
}

HRESULT ShellEventsSink::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}

HRESULT ShellEventsSink::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                EXCEPINFO*, UINT*) {
    if (!params || !(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
    if (result) VariantInit(result);
    Arguments a;
    switch (id) {
    case kStatus:
    case kDebug:
        if (!a.take(*params, {VT_BSTR})) return DISP_E_BADPARAMCOUNT;
        if (id == kStatus) status(a.text(0));
        else debug(a.text(0));
        return S_OK;
    case kError:
        if (!a.take(*params, {VT_I4, VT_BSTR})) return DISP_E_BADPARAMCOUNT;
        errors_.add(a.text(1));
        error(a[0].lVal, a.text(1));
        return S_OK;
    case kCommand: {
        if (!a.take(*params, {VT_UI1, VT_UI1, VT_UI1, VT_UI1, VT_UI1, VT_UI1, VT_I4, VT_BSTR}))
            return DISP_E_BADPARAMCOUNT;
        CommandEvent e;
        for (int i = 0; i < 5; ++i) e.frame[i] = a[i].bVal;
        e.disk = a[5].bVal;
        e.sector = a[6].lVal;
        e.name = a.text(7);
        command(e);
        return S_OK;
    }
    default:
        return DISP_E_MEMBERNOTFOUND;
    }
}

}  // namespace console
