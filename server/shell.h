// CShell: the Shell automation object. It holds no emulator state: each IShell member calls
// one driver function, and the notifications of the emulator come back through the receiver
// operations as _IShellEvents events to every connected sink.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "control/receiver.h"
#include "server/com_support.h"
#include "server/vandrel_idl.h"

class CShell final : public IShell, public ISupportErrorInfo, public IConnectionPointContainer, public IReceiver {
public:
    // Creates a Shell with one reference, attached as the process's receiver.
    static HRESULT create(REFIID iid, void** result);

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IDispatch, from the registered type library
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception, UINT* argError) override;

    // IShell
    HRESULT STDMETHODCALLTYPE mountDisk(BSTR path, BYTE diskid, VARIANT_BOOL readOnly) override;
    HRESULT STDMETHODCALLTYPE unMountDisk(BYTE diskid) override;
    HRESULT STDMETHODCALLTYPE start() override;
    HRESULT STDMETHODCALLTYPE stop() override;
    HRESULT STDMETHODCALLTYPE get_isStopped(VARIANT_BOOL* pVal) override;
    HRESULT STDMETHODCALLTYPE get_serialPort(BYTE* pVal) override;
    HRESULT STDMETHODCALLTYPE put_serialPort(BYTE newVal) override;
    HRESULT STDMETHODCALLTYPE swapDisks(BYTE diskid1, BYTE diskid2) override;
    HRESULT STDMETHODCALLTYPE get_diskPath(BYTE id, BSTR* pVal) override;
    HRESULT STDMETHODCALLTYPE get_diskReadOnly(BYTE id, VARIANT_BOOL* pVal) override;
    HRESULT STDMETHODCALLTYPE get_diskSectorSize(BYTE id, LONG* pVal) override;
    HRESULT STDMETHODCALLTYPE get_diskSectorCount(BYTE id, LONG* pVal) override;
    HRESULT STDMETHODCALLTYPE createImage(BSTR imagePath, LONG sectorCount, LONG sectorSize) override;

    // ISupportErrorInfo
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override;

    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** result) override;
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** result) override;

    // IReceiver: one event to every sink, in slot order.
    void Status(std::string_view text) override;
    void Debug(std::string_view text) override;
    void Error(std::uint32_t number, std::string_view text) override;
    void Command(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4, std::uint8_t b5,
                 std::uint8_t disk, std::uint32_t sector, std::string_view name) override;

    // The connection point for _IShellEvents; it lives inside the Shell and keeps it alive.
    //
    // Implementation details: the sink table is an array of slots that never shrinks; a new
    // sink takes the lowest empty slot, growing the table to 4 and then by doubling. Its lock
    // is held only to change or copy the table: an event copies the sinks in slot order and
    // AddRefs them under the lock, then calls them unlocked, so a sink may Unadvise from its
    // own callback and no sink is released while another thread calls it.
    class ConnectionPoint final : public IConnectionPoint {
    public:
        explicit ConnectionPoint(CShell& shell) : shell_(shell) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override;
        ULONG STDMETHODCALLTYPE AddRef() override { return shell_.AddRef(); }
        ULONG STDMETHODCALLTYPE Release() override { return shell_.Release(); }
        HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
        HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** result) override;
        HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
        HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
        HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** result) override;

        struct Slot {
            IDispatch* sink = nullptr;  // owned reference; null when empty
            DWORD cookie = 0;
        };
        // The sinks in slot order, each with a reference of its own.
        std::vector<ComPtr<IDispatch>> sinks();
        std::vector<CONNECTDATA> connections();
        // Empties the slot of a sink whose client has gone, as if it had unadvised.
        void drop(IDispatch* sink);
        void releaseAll();

    private:
        CShell& shell_;
        std::mutex lock_;
        std::vector<Slot> slots_;
        DWORD nextCookie_ = 0;
    };

private:
    CShell();
    ~CShell();
    // A reference for the duration of an event, unless the Shell is already being destroyed
    // (its destructor then waits for the event in the receiver's detach).
    bool tryAddRef();
    void fire(DISPID id, VARIANTARG* args, UINT count);
    HRESULT typeInfo(ITypeInfo** info);

    std::atomic<ULONG> refs_{1};
    ConnectionPoint point_{*this};
    std::mutex typeInfoLock_;
    ComPtr<ITypeInfo> typeInfo_;
};
