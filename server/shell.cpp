// CShell: the IShell members, IDispatch from the type library, and sending events.
#include "server/shell.h"

#include <new>

#include "control/driver.h"
#include "server/enumerators.h"
#include "server/server_lock.h"
#include "server/text_conversion.h"

namespace {

VARIANT_BOOL toVariantBool(bool b) { return b ? VARIANT_TRUE : VARIANT_FALSE; }

VARIANTARG bstrArg(BSTR s) {
    VARIANTARG v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = s;
    return v;
}

VARIANTARG byteArg(std::uint8_t b) {
    VARIANTARG v;
    VariantInit(&v);
    v.vt = VT_UI1;
    v.bVal = b;
    return v;
}

VARIANTARG longArg(LONG l) {
    VARIANTARG v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = l;
    return v;
}

}  // namespace

// --- life

HRESULT CShell::create(REFIID iid, void** result) {
    if (!result) return E_POINTER;
    *result = nullptr;
    CShell* shell = new (std::nothrow) CShell;
    if (!shell) return E_OUTOFMEMORY;
    const HRESULT hr = shell->QueryInterface(iid, result);
    shell->Release();  // the creation reference: an unwanted interface ends the object here
    return hr;
}

CShell::CShell() {
    drvAttach(this);
    serverLock();
}

CShell::~CShell() {
    serverUnlock();
    drvDetach(this);  // returns once no other thread is sending an event through us
    point_.releaseAll();
}

bool CShell::tryAddRef() {
    ULONG n = refs_.load();
    while (n != 0)
        if (refs_.compare_exchange_weak(n, n + 1)) return true;
    return false;
}

HRESULT CShell::QueryInterface(REFIID iid, void** result) {
    if (!result) return E_POINTER;
    *result = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, IID_IShell))
        *result = static_cast<IShell*>(this);
    else if (IsEqualIID(iid, IID_ISupportErrorInfo))
        *result = static_cast<ISupportErrorInfo*>(this);
    else if (IsEqualIID(iid, IID_IConnectionPointContainer))
        *result = static_cast<IConnectionPointContainer*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

ULONG CShell::AddRef() { return ++refs_; }

ULONG CShell::Release() {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
}

// --- IDispatch

HRESULT CShell::typeInfo(ITypeInfo** info) {
    std::lock_guard<std::mutex> hold(typeInfoLock_);
    if (!typeInfo_) {
        ComPtr<ITypeLib> library;
        HRESULT hr = LoadRegTypeLib(LIBID_Vandrel, 1, 0, 0, library.put());
        if (FAILED(hr)) return hr;
        hr = library->GetTypeInfoOfGuid(IID_IShell, typeInfo_.put());
        if (FAILED(hr)) return hr;
    }
    *info = typeInfo_.get();
    (*info)->AddRef();
    return S_OK;
}

HRESULT CShell::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT CShell::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    return typeInfo(info);
}

HRESULT CShell::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    ComPtr<ITypeInfo> info;
    const HRESULT hr = typeInfo(info.put());
    return FAILED(hr) ? hr : info->GetIDsOfNames(names, count, ids);
}

HRESULT CShell::Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                       EXCEPINFO* exception, UINT* argError) {
    if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    ComPtr<ITypeInfo> info;
    const HRESULT hr = typeInfo(info.put());
    if (FAILED(hr)) return hr;
    return info->Invoke(static_cast<IShell*>(this), id, flags, params, result, exception, argError);
}

// --- IShell: every member answers S_OK; what went wrong arrives as events.

HRESULT CShell::mountDisk(BSTR path, BYTE diskid, VARIANT_BOOL readOnly) {
    const AnsiText text(path);
    if (!text.exact()) drvRefusePath("CShell::mountDisk", text.c_str());
    else drvMountDisk(text.c_str(), diskid, readOnly != 0);
    return S_OK;
}

HRESULT CShell::unMountDisk(BYTE diskid) {
    drvUnMountDisk(diskid);
    return S_OK;
}

HRESULT CShell::start() {
    drvStart();
    return S_OK;
}

HRESULT CShell::stop() {
    drvStop();  // the stop line reaches the sinks before the call returns, unless another
                // thread is delivering at that moment: then that thread brings it
    return S_OK;
}

HRESULT CShell::get_isStopped(VARIANT_BOOL* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = toVariantBool(drvIsStopped());
    return S_OK;
}

HRESULT CShell::get_serialPort(BYTE* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = drvSerialPort();
    return S_OK;
}

HRESULT CShell::put_serialPort(BYTE newVal) {
    drvSetSerialPort(newVal);
    return S_OK;
}

HRESULT CShell::swapDisks(BYTE diskid1, BYTE diskid2) {
    drvSwapDisks(diskid1, diskid2);
    return S_OK;
}

HRESULT CShell::get_diskPath(BYTE id, BSTR* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = toBstr(drvDiskPath(id).c_str());
    return S_OK;
}

HRESULT CShell::get_diskReadOnly(BYTE id, VARIANT_BOOL* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = toVariantBool(drvDiskReadOnly(id));
    return S_OK;
}

HRESULT CShell::get_diskSectorSize(BYTE id, LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = drvDiskSectorSize(id);
    return S_OK;
}

HRESULT CShell::get_diskSectorCount(BYTE id, LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = drvDiskSectorCount(id);
    return S_OK;
}

HRESULT CShell::createImage(BSTR imagePath, LONG sectorCount, LONG sectorSize) {
    const AnsiText text(imagePath);
    if (!text.exact()) drvRefusePath("CShell::createImage", text.c_str());
    else drvCreateImage(text.c_str(), sectorCount, sectorSize);  // checked whole, never cut to 16 bits
    return S_OK;
}

// --- ISupportErrorInfo

HRESULT CShell::InterfaceSupportsErrorInfo(REFIID iid) { return IsEqualIID(iid, IID_IShell) ? S_OK : S_FALSE; }

// --- IConnectionPointContainer

HRESULT CShell::EnumConnectionPoints(IEnumConnectionPoints** result) {
    if (!result) return E_POINTER;
    *result = nullptr;
    point_.AddRef();  // the enumerator's item reference
    return ConnectionPointsEnumerator::create({&point_}, static_cast<IShell*>(this), result);
}

HRESULT CShell::FindConnectionPoint(REFIID iid, IConnectionPoint** result) {
    if (!result) return E_POINTER;
    *result = nullptr;
    if (!IsEqualIID(iid, DIID__IShellEvents)) return CONNECT_E_NOCONNECTION;
    *result = &point_;
    point_.AddRef();
    return S_OK;
}

// --- events

namespace {

// The answers of a call whose client has gone for good: its process ended or it
// disconnected the sink. Every later call would fail the same way, each after a wait.
bool clientIsGone(HRESULT hr) {
    switch (static_cast<unsigned long>(hr)) {
    case 0x80010108:  // RPC_E_DISCONNECTED
    case 0x80010007:  // RPC_E_SERVER_DIED
    case 0x80010012:  // RPC_E_SERVER_DIED_DNE
    case 0x800706BA:  // the RPC server is unavailable
    case 0x800706BF:  // the call failed and did not execute
    case 0x800401FD:  // CO_E_OBJNOTCONNECTED
        return true;
    default:
        return false;
    }
}

}  // namespace

void CShell::fire(DISPID id, VARIANTARG* args, UINT count) {
    const bool kept = tryAddRef();
    DISPPARAMS params{args, nullptr, count, 0};
    for (const ComPtr<IDispatch>& sink : point_.sinks()) {
        VARIANT result;
        VariantInit(&result);
        const HRESULT hr =
            sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
        VariantClear(&result);
        if (clientIsGone(hr)) point_.drop(sink.get());
    }
    if (kept) Release();
}

void CShell::Status(std::string_view text) {
    Bstr msg(toBstr(text));
    VARIANTARG args[] = {bstrArg(msg.get())};
    fire(1, args, 1);
}

void CShell::Debug(std::string_view text) {
    Bstr msg(toBstr(text));
    VARIANTARG args[] = {bstrArg(msg.get())};
    fire(3, args, 1);
}

void CShell::Error(std::uint32_t number, std::string_view text) {
    Bstr msg(toBstr(text));
    VARIANTARG args[] = {bstrArg(msg.get()), longArg(static_cast<LONG>(number))};
    fire(4, args, 2);
}

void CShell::Command(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4, std::uint8_t b5,
                     std::uint8_t disk, std::uint32_t sector, std::string_view name) {
    Bstr msg(toBstr(name));
    // Last parameter first, as Invoke expects.
    VARIANTARG args[] = {bstrArg(msg.get()), longArg(static_cast<LONG>(sector & 0xFFFF)), byteArg(disk),
                         byteArg(b5), byteArg(b4), byteArg(b3), byteArg(b2), byteArg(b1)};
    fire(2, args, 8);
}

// --- the connection point

HRESULT CShell::ConnectionPoint::QueryInterface(REFIID iid, void** result) {
    if (!result) return E_POINTER;
    *result = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IConnectionPoint)) return E_NOINTERFACE;
    *result = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
}

HRESULT CShell::ConnectionPoint::GetConnectionInterface(IID* iid) {
    if (!iid) return E_POINTER;
    *iid = DIID__IShellEvents;
    return S_OK;
}

HRESULT CShell::ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** result) {
    if (!result) return E_POINTER;
    *result = &shell_;
    shell_.AddRef();
    return S_OK;
}

HRESULT CShell::ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
    if (cookie) *cookie = 0;
    if (!sink || !cookie) return E_POINTER;
    IDispatch* events = nullptr;
    const HRESULT hr = sink->QueryInterface(DIID__IShellEvents, reinterpret_cast<void**>(&events));
    if (hr == E_NOINTERFACE) return CONNECT_E_CANNOTCONNECT;
    if (FAILED(hr)) return hr;
    std::lock_guard<std::mutex> hold(lock_);
    std::size_t slot = 0;
    while (slot < slots_.size() && slots_[slot].sink) ++slot;
    if (slot == slots_.size()) {
        try {
            slots_.resize(slots_.empty() ? 4 : slots_.size() * 2);
        } catch (const std::bad_alloc&) {
            events->Release();
            return CONNECT_E_ADVISELIMIT;
        }
    }
    // The cookie is the sink's pointer where it fits in 32 bits, and a number of our own
    // where it does not.
    DWORD value;
    if constexpr (sizeof(void*) == sizeof(DWORD)) {
        value = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(events));
    } else {
        do {
            value = ++nextCookie_;
        } while (value == 0);
    }
    slots_[slot] = {events, value};
    *cookie = value;
    return S_OK;
}

void CShell::ConnectionPoint::drop(IDispatch* sink) {
    IDispatch* released = nullptr;
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (Slot& s : slots_) {
            if (s.sink == sink) {
                released = std::exchange(s.sink, nullptr);
                s.cookie = 0;
                break;
            }
        }
    }
    if (released) released->Release();
}

HRESULT CShell::ConnectionPoint::Unadvise(DWORD cookie) {
    IDispatch* released = nullptr;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (cookie != 0) {
            for (Slot& s : slots_) {
                if (s.sink && s.cookie == cookie) {
                    released = std::exchange(s.sink, nullptr);
                    s.cookie = 0;
                    break;
                }
            }
        }
    }
    if (!released) return CONNECT_E_NOCONNECTION;
    released->Release();  // outside the lock: it may call back into us
    return S_OK;
}

HRESULT CShell::ConnectionPoint::EnumConnections(IEnumConnections** result) {
    if (!result) return E_POINTER;
    *result = nullptr;
    return ConnectionsEnumerator::create(connections(), static_cast<IShell*>(&shell_), result);
}

std::vector<ComPtr<IDispatch>> CShell::ConnectionPoint::sinks() {
    std::vector<ComPtr<IDispatch>> out;
    std::lock_guard<std::mutex> hold(lock_);
    for (const Slot& s : slots_)
        if (s.sink) out.push_back(ComPtr<IDispatch>::share(s.sink));
    return out;
}

std::vector<CONNECTDATA> CShell::ConnectionPoint::connections() {
    std::vector<CONNECTDATA> out;
    std::lock_guard<std::mutex> hold(lock_);
    for (const Slot& s : slots_) {
        if (!s.sink) continue;
        s.sink->AddRef();
        out.push_back({s.sink, s.cookie});
    }
    return out;
}

void CShell::ConnectionPoint::releaseAll() {
    std::vector<Slot> gone;
    {
        std::lock_guard<std::mutex> hold(lock_);
        gone.swap(slots_);
    }
    for (Slot& s : gone)
        if (s.sink) s.sink->Release();
}
