#pragma once
// Holders that own exactly one COM resource each: an interface pointer, a BSTR, a VARIANT,
// a task-memory string. Each releases what it owns once, in its destructor or on Reset.
// Locals are destroyed in reverse order of declaration, so declaring holders in the order
// their pointers are obtained releases them in reverse order of acquisition.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

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

// Asks source for iid into target. A failed query leaves target empty, releasing anything
// the object handed out regardless; a success that hands out nothing counts as
// E_NOINTERFACE.
template <typename Source, typename T>
[[nodiscard]] HRESULT QueryInto(Source* source, REFIID iid, ComPtr<T>* target) {
    HRESULT hr = source->QueryInterface(iid, target->PutVoid());
    if (SUCCEEDED(hr) && !*target) hr = E_NOINTERFACE;
    if (FAILED(hr)) target->Reset();
    return hr;
}

class BstrHolder {
public:
    BstrHolder() = default;
    ~BstrHolder() { SysFreeString(value_); }
    BstrHolder(const BstrHolder&) = delete;
    BstrHolder& operator=(const BstrHolder&) = delete;

    BSTR Get() const { return value_; }
    BSTR* Put() {
        SysFreeString(value_);
        value_ = nullptr;
        return &value_;
    }

private:
    BSTR value_ = nullptr;
};

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

class TaskMemString {
public:
    TaskMemString() = default;
    ~TaskMemString() { CoTaskMemFree(value_); }
    TaskMemString(const TaskMemString&) = delete;
    TaskMemString& operator=(const TaskMemString&) = delete;

    wchar_t* Get() const { return value_; }
    wchar_t** Put() {
        CoTaskMemFree(value_);
        value_ = nullptr;
        return &value_;
    }

private:
    wchar_t* value_ = nullptr;
};
