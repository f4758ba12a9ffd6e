// Snapshot enumerators of connection points and connections. Each keeps its Shell alive and
// counts as a live object of the server.
#pragma once

#include <atomic>
#include <vector>

#include "server/com_support.h"
#include "server/server_lock.h"

template <typename Interface, typename Item, const IID& Iid>
class SnapshotEnumerator final : public Interface {
public:
    // Items hold an owned interface reference (Item::pUnk or the item itself); owner is
    // kept alive for the enumerator's life.
    static HRESULT create(std::vector<Item> items, IUnknown* owner, Interface** result) {
        if (!result) return E_POINTER;
        *result = new (std::nothrow) SnapshotEnumerator(std::move(items), owner);
        return *result ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override {
        if (!result) return E_POINTER;
        *result = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, Iid)) return E_NOINTERFACE;
        *result = static_cast<Interface*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE Next(ULONG count, Item* out, ULONG* fetched) override {
        if (!out || (count > 1 && !fetched)) return E_POINTER;
        ULONG n = 0;
        for (; n < count && position_ < items_.size(); ++n, ++position_) {
            out[n] = items_[position_];
            addRef(out[n]);
        }
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        const std::size_t left = items_.size() - position_;
        if (count > left) {
            position_ = items_.size();
            return S_FALSE;
        }
        position_ += count;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        position_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(Interface** result) override {
        if (!result) return E_POINTER;
        for (Item& item : items_) addRef(item);  // the copy's own references
        Interface* copy = nullptr;
        const HRESULT hr = create(items_, owner_, &copy);
        if (FAILED(hr)) {
            for (Item& item : items_) release(item);
        } else {
            static_cast<SnapshotEnumerator*>(copy)->position_ = position_;
        }
        *result = copy;
        return hr;
    }

private:
    SnapshotEnumerator(std::vector<Item> items, IUnknown* owner) : items_(std::move(items)), owner_(owner) {
        owner_->AddRef();
        serverLock();
    }
    ~SnapshotEnumerator() {
        for (Item& item : items_) release(item);
        owner_->Release();
        serverUnlock();
    }
    static IUnknown* unknownOf(const CONNECTDATA& d) { return d.pUnk; }
    static IUnknown* unknownOf(IConnectionPoint* p) { return p; }
    static void addRef(const Item& item) {
        if (IUnknown* u = unknownOf(item)) u->AddRef();
    }
    static void release(const Item& item) {
        if (IUnknown* u = unknownOf(item)) u->Release();
    }

    std::atomic<ULONG> refs_{1};
    std::vector<Item> items_;
    std::size_t position_ = 0;
    IUnknown* owner_;
};

using ConnectionsEnumerator = SnapshotEnumerator<IEnumConnections, CONNECTDATA, IID_IEnumConnections>;
using ConnectionPointsEnumerator =
    SnapshotEnumerator<IEnumConnectionPoints, IConnectionPoint*, IID_IEnumConnectionPoints>;
