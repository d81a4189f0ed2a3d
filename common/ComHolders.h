#pragma once
// Holders of COM resources: an interface pointer (ComPtr), a VARIANT, and, as UniqueAny
// holders, a BSTR and a block of task memory. Each releases what it owns once, in its
// destructor or on Reset. Locals are destroyed in reverse order of declaration, so
// declaring holders in the order their pointers are obtained releases them in reverse
// order of acquisition.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include "common/Holders.h"

template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() { Reset(); }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;

    T* Get() const { return pointer_; }
    T* operator->() const { return pointer_; }
    explicit operator bool() const { return pointer_ != nullptr; }

    // Out-parameter for creation and query calls; whatever was held is released first.
    T** Put() {
        Reset();
        return &pointer_;
    }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }

    void Reset() {
        T* pointer = pointer_;
        pointer_ = nullptr;
        if (pointer) pointer->Release();
    }

private:
    T* pointer_ = nullptr;
};

// What a creation or query call left in target: a failure leaves it empty, releasing
// anything the call handed out regardless, and a success that hands out nothing counts as
// E_NOINTERFACE. Any other result is passed on as it came.
template <typename T>
[[nodiscard]] HRESULT CheckedInto(HRESULT hr, ComPtr<T>* target) {
    if (SUCCEEDED(hr) && !*target) hr = E_NOINTERFACE;
    if (FAILED(hr)) target->Reset();
    return hr;
}

// Asks source for iid into target, as CheckedInto says.
template <typename Source, typename T>
[[nodiscard]] HRESULT QueryInto(Source* source, REFIID iid, ComPtr<T>* target) {
    return CheckedInto(source->QueryInterface(iid, target->PutVoid()), target);
}

// Creates clsid's object in context and asks it for iid into target. The creation's own
// failure is passed on (it leaves target empty); a success that hands out nothing counts as
// E_NOINTERFACE.
template <typename T>
[[nodiscard]] HRESULT CreateInto(REFCLSID clsid, DWORD context, REFIID iid, ComPtr<T>* target) {
    HRESULT hr = CoCreateInstance(clsid, nullptr, context, iid, target->PutVoid());
    return SUCCEEDED(hr) && !*target ? E_NOINTERFACE : hr;
}

class VariantHolder {
public:
    VariantHolder() { VariantInit(&value_); }
    ~VariantHolder() { (void)VariantClear(&value_); }
    VariantHolder(const VariantHolder&) = delete;
    VariantHolder& operator=(const VariantHolder&) = delete;

    VARIANT& Get() { return value_; }

private:
    VARIANT value_;
};

inline void FreeBstr(BSTR value) { SysFreeString(value); }
inline void FreeTaskMemory(void* block) { CoTaskMemFree(block); }

using UniqueBstr = UniqueAny<NullIsNoneTraits<BSTR, FreeBstr>>;
template <typename T>
using UniqueTaskMemory = UniqueAny<MemoryBlockTraits<T, FreeTaskMemory>>;
