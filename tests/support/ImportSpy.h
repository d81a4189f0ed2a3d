#pragma once
#include <windows.h>

// Points this test program's own import of dll!function at a replacement for as long as the
// holder lives. The product library is linked into the program statically, so its calls to
// that function go through the entry patched here. Calls from system DLLs are untouched.
class ImportSpy {
public:
    ImportSpy(const char* dll, const char* function, void* replacement);
    ~ImportSpy();
    ImportSpy(const ImportSpy&) = delete;
    ImportSpy& operator=(const ImportSpy&) = delete;

    // The function the entry pointed at before (null when no entry was found).
    void* original() const { return original_; }
    bool patched() const { return count_ > 0; }

private:
    static constexpr int kMaxEntries = 4;
    void** entries_[kMaxEntries] = {};
    int count_ = 0;
    void* original_ = nullptr;
};
