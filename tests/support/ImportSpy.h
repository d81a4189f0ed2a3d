#pragma once
// Points this program's import slot of a system function at a stand-in for the life of the
// holder. For what Wine gives no way to see or to provoke (a registry flush, a short
// write): the product's calls go through the same slot as the test's own.
#include <windows.h>

class ImportSpy {
public:
    ImportSpy(void** slot, void* standIn) : slot_(slot) {
        DWORD protection = 0;
        if (!VirtualProtect(slot_, sizeof(void*), PAGE_READWRITE, &protection)) return;
        original_ = *slot_;
        *slot_ = standIn;
        VirtualProtect(slot_, sizeof(void*), protection, &protection);
    }
    ~ImportSpy() {
        DWORD protection = 0;
        if (!original_ || !VirtualProtect(slot_, sizeof(void*), PAGE_READWRITE, &protection)) return;
        *slot_ = original_;
        VirtualProtect(slot_, sizeof(void*), protection, &protection);
    }
    ImportSpy(const ImportSpy&) = delete;
    ImportSpy& operator=(const ImportSpy&) = delete;
    bool active() const { return original_ != nullptr; }
    // The real function, for a stand-in that passes the call on.
    template <typename F> F original() const { return reinterpret_cast<F>(original_); }

private:
    void** slot_;
    void* original_ = nullptr;
};

// The import slot the linker made for a function of a system DLL.
#define BRIVOK_IMPORT_SLOT(function) (&__imp_##function)
#define BRIVOK_DECLARE_IMPORT_SLOT(function) extern "C" void* __imp_##function
