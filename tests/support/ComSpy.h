#pragma once
// Building blocks for COM spies: test-process stand-ins for classes that Wine lacks.
// A factory registered with CoRegisterClassObject for both in-process and local-server
// requests is what CoCreateInstance returns in this process, without a proxy.
#include <windows.h>
#include <objbase.h>

#include <functional>
#include <string>
#include <vector>

#include "common/Holders.h"
#include "tests/support/MessageBoxReader.h"

// Reference count shared by the spy objects of one test, so that a test can check that
// every reference handed out was given back.
struct SpyCounter {
    LONG live = 0;      // references outstanding, over all objects counted here
    LONG maxLive = 0;
    void Add() {
        ++live;
        if (live > maxLive) maxLive = live;
    }
    void Drop() { --live; }
};

// Unknown-methods for a spy object whose interfaces are listed by Answers(iid).
#define BRIVOK_SPY_UNKNOWN(Answers)                                                  \
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {      \
        if (!out) return E_POINTER;                                                  \
        *out = Answers(iid);                                                         \
        if (!*out) return E_NOINTERFACE;                                             \
        AddRef();                                                                    \
        return S_OK;                                                                 \
    }                                                                                \
    ULONG STDMETHODCALLTYPE AddRef() override {                                      \
        if (counter_) counter_->Add();                                               \
        return static_cast<ULONG>(InterlockedIncrement(&refs_));                     \
    }                                                                                \
    ULONG STDMETHODCALLTYPE Release() override {                                     \
        if (counter_) counter_->Drop();                                              \
        LONG left = InterlockedDecrement(&refs_);                                    \
        if (releases_) releases_->push_back(releaseName_ + ":" + std::to_string(left)); \
        return static_cast<ULONG>(left);                                             \
    }

// Objects are owned by the test (on its stack); Release never deletes, so a test can look
// at a spy after the product dropped it. refs_ is what the product still holds.
// releases_, when set, gets "name:references left" for every Release.
#define BRIVOK_SPY_STATE                            \
    LONG refs_ = 0;                                 \
    SpyCounter* counter_ = nullptr;                 \
    std::vector<std::string>* releases_ = nullptr;  \
    std::string releaseName_;

// A method a spy does not take part in.
#define BRIVOK_NOTIMPL(name, parameters) \
    HRESULT STDMETHODCALLTYPE name parameters override { return E_NOTIMPL; }

// A method a spy only records by its name, through record, before it answers result.
#define BRIVOK_RECORDED(name, parameters, record, result) \
    HRESULT STDMETHODCALLTYPE name parameters override {  \
        record(#name);                                    \
        return result;                                    \
    }

#define BRIVOK_SPY_DISPATCH_STUBS                                               \
    BRIVOK_NOTIMPL(GetTypeInfoCount, (UINT*))                                   \
    BRIVOK_NOTIMPL(GetTypeInfo, (UINT, LCID, ITypeInfo**))                      \
    BRIVOK_NOTIMPL(GetIDsOfNames, (REFIID, LPOLESTR*, UINT, LCID, DISPID*))     \
    BRIVOK_NOTIMPL(Invoke, (DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*))

// Class factory that hands out what make(iid, out) produces and counts the requests.
class SpyFactory : public IClassFactory {
public:
    using Maker = std::function<HRESULT(REFIID, void**)>;
    explicit SpyFactory(Maker make) : make_(std::move(make)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
        *out = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs); }
    ULONG STDMETHODCALLTYPE Release() override { return InterlockedDecrement(&refs); }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        ++creations;
        requested.push_back(iid);
        if (!out) return E_POINTER;
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return make_(iid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

    LONG refs = 0;
    int creations = 0;
    std::vector<IID> requested;

private:
    Maker make_;
};

// Registers a factory for a class in this process and revokes it again, for the one context
// the product must ask for (where the class lives on Windows), so that a request for another
// context misses the spy (under Wine only a local-server request misses an in-process
// registration; the other way round Wine still hands it out). Under Wine a registered class
// object is found only from the apartment that registered it, so it is registered twice: in
// the caller's apartment and in the multithreaded one, where the product's browser calls run
// (on a thread of this class that keeps that apartment open).
class SpyRegistration {
public:
    SpyRegistration(REFCLSID clsid, IClassFactory* factory, DWORD context)
        : clsid_(clsid), factory_(factory), context_(context) {
        hr = CoRegisterClassObject(clsid, factory, context, REGCLS_MULTIPLEUSE, &cookie_);
        if (FAILED(hr)) return;
        thread_.Reset(CreateThread(nullptr, 0, &SpyRegistration::HoldInMultithreaded, this, 0, nullptr));
        if (!thread_ || WaitForSingleObject(ready_.Get(), 10000) != WAIT_OBJECT_0) mtaHr_ = E_FAIL;
        if (FAILED(mtaHr_)) hr = mtaHr_;
    }
    ~SpyRegistration() {
        if (thread_) {
            SetEvent(done_.Get());
            WaitForSingleObject(thread_.Get(), 10000);
        }
        if (cookie_) CoRevokeClassObject(cookie_);
    }
    HRESULT hr;

private:
    static DWORD WINAPI HoldInMultithreaded(void* parameter) {
        auto* self = static_cast<SpyRegistration*>(parameter);
        HRESULT initialized = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        DWORD cookie = 0;
        self->mtaHr_ = FAILED(initialized) ? initialized
                                           : CoRegisterClassObject(self->clsid_, self->factory_,
                                                                   self->context_, REGCLS_MULTIPLEUSE, &cookie);
        SetEvent(self->ready_.Get());
        WaitForSingleObject(self->done_.Get(), INFINITE);
        if (cookie) CoRevokeClassObject(cookie);
        if (SUCCEEDED(initialized)) CoUninitialize();
        return 0;
    }

    CLSID clsid_;
    IClassFactory* factory_;
    DWORD context_;
    DWORD cookie_ = 0;
    HRESULT mtaHr_ = S_OK;
    UniqueHandle ready_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    UniqueHandle done_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    UniqueHandle thread_;  // holders cannot be copied, so neither can this, which the thread points at
};

inline std::string HexString(unsigned long value) {
    char text[16];
    wsprintfA(text, "0x%lx", value);
    return text;
}

inline std::string NarrowText(const wchar_t* text) { return text ? Narrow(text) : "(null)"; }
