// Events arrive with their arguments last-first, as IDispatch passes them; each is coerced to
// the type the event interface declares, so that a caller passing a near type still reads well.
#include "event_printer.h"

#include <string>

#include "server/vandrel_idl.h"
#include "tools/console/event_text.h"
#include "tools/console/wide_text.h"

namespace console {
namespace {

// Argument `index` in declaration order, coerced to vt; false when it is missing or will not convert.
bool argument(const DISPPARAMS& params, UINT index, VARTYPE vt, VARIANT* out) {
    VariantInit(out);
    if (index >= params.cArgs) return false;
    return SUCCEEDED(VariantChangeType(out, &params.rgvarg[params.cArgs - 1 - index], 0, vt));
}

std::string textOf(const VARIANT& v) { return v.bstrVal ? narrow(v.bstrVal, SysStringLen(v.bstrVal)) : std::string(); }

}  // namespace

HRESULT EventPrinter::QueryInterface(REFIID iid, void** result) {
    if (!result) return E_POINTER;
    *result = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch) && !IsEqualIID(iid, DIID__IShellEvents))
        return E_NOINTERFACE;
    *result = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
}

ULONG EventPrinter::Release() {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
}

HRESULT EventPrinter::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}

HRESULT EventPrinter::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                             UINT*) {
    if (!params || !(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
    if (result) VariantInit(result);
    VARIANT a[8];
    for (VARIANT& v : a) VariantInit(&v);
    HRESULT answer = S_OK;
    switch (id) {
    case 1:  // Status(Msg)
    case 3:  // Debug(Msg)
        if (!argument(*params, 0, VT_BSTR, &a[0])) {
            answer = DISP_E_BADPARAMCOUNT;
            break;
        }
        if (id == 1) out_.line(TraceWriter::Kind::Status, textOf(a[0]));
        else out_.line(TraceWriter::Kind::Debug, debugText(textOf(a[0])));
        break;
    case 4:  // Error(number, Msg)
        if (!argument(*params, 0, VT_I4, &a[0]) || !argument(*params, 1, VT_BSTR, &a[1])) {
            answer = DISP_E_BADPARAMCOUNT;
            break;
        }
        errors_.add(textOf(a[1]));
        out_.line(TraceWriter::Kind::Error, errorText(a[0].lVal, textOf(a[1])));
        break;
    case 2: {  // Command(b1..b5, disk, sector, Command)
        static const VARTYPE types[8] = {VT_UI1, VT_UI1, VT_UI1, VT_UI1, VT_UI1, VT_UI1, VT_I4, VT_BSTR};
        bool complete = true;
        for (UINT i = 0; i < 8; ++i) complete = argument(*params, i, types[i], &a[i]) && complete;
        if (complete) {
            CommandEvent e;
            for (int i = 0; i < 5; ++i) e.frame[i] = a[i].bVal;
            e.disk = a[5].bVal;
            e.sector = a[6].lVal;
            e.name = textOf(a[7]);
            out_.line(TraceWriter::Kind::Command, commandText(e, raw_));
        } else {
            answer = DISP_E_BADPARAMCOUNT;
        }
        break;
    }
    default:
        answer = DISP_E_MEMBERNOTFOUND;
    }
    for (VARIANT& v : a) VariantClear(&v);
    return answer;
}

}  // namespace console
