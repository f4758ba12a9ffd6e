// Owners for COM references and BSTRs: each releases what it holds exactly once.
#pragma once

#include "win32.h"

#include <utility>

namespace envprobe {

// One counted reference to a COM interface. Copying adds a reference; moving transfers it.
template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Takes over a reference the caller already holds (a fresh object, an out parameter).
    static ComPtr adopt(T* raw) {
        ComPtr p;
        p.ptr_ = raw;
        return p;
    }
    // Adds a reference of its own.
    static ComPtr share(T* raw) {
        if (raw) raw->AddRef();
        return adopt(raw);
    }

    ComPtr(const ComPtr& other) : ptr_(other.ptr_) {
        if (ptr_) ptr_->AddRef();
    }
    ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~ComPtr() { reset(); }

    void reset() {
        if (T* p = std::exchange(ptr_, nullptr)) p->Release();
    }
    T* get() const { return ptr_; }
    T* operator->() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    // For out parameters: drops what is held and lets the callee write a new reference.
    T** put() {
        reset();
        return &ptr_;
    }
    void** putVoid() { return reinterpret_cast<void**>(put()); }
    // Hands the reference to the caller (an out parameter of our own).
    T* detach() { return std::exchange(ptr_, nullptr); }

    template <typename U>
    HRESULT queryInterface(REFIID iid, ComPtr<U>& out) const {
        return ptr_->QueryInterface(iid, out.putVoid());
    }

private:
    T* ptr_ = nullptr;
};

// A BSTR and the duty to free it.
class Bstr {
public:
    Bstr() = default;
    explicit Bstr(const wchar_t* text) : str_(SysAllocString(text)) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    Bstr(Bstr&& other) noexcept : str_(std::exchange(other.str_, nullptr)) {}
    Bstr& operator=(Bstr&& other) noexcept {
        if (this != &other) {
            reset();
            str_ = std::exchange(other.str_, nullptr);
        }
        return *this;
    }
    ~Bstr() { reset(); }

    void reset() { SysFreeString(std::exchange(str_, nullptr)); }
    BSTR get() const { return str_; }
    BSTR* put() {
        reset();
        return &str_;
    }
    BSTR detach() { return std::exchange(str_, nullptr); }

private:
    BSTR str_ = nullptr;
};

}  // namespace envprobe

namespace envprobe {

// COM on this thread, from a successful CoInitializeEx to its CoUninitialize.
class ComApartment {
public:
    explicit ComApartment(DWORD model) : result_(CoInitializeEx(nullptr, model)) {}
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    ~ComApartment() {
        if (SUCCEEDED(result_)) CoUninitialize();
    }
    HRESULT result() const { return result_; }

private:
    HRESULT result_;
};

}  // namespace envprobe
