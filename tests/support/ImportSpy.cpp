#include "tests/support/ImportSpy.h"

namespace {

void Write(void** entry, void* value) {
    DWORD old = 0;
    VirtualProtect(entry, sizeof(*entry), PAGE_READWRITE, &old);
    *entry = value;
    VirtualProtect(entry, sizeof(*entry), old, &old);
}

}  // namespace

ImportSpy::ImportSpy(const char* dll, const char* function, void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!dir.VirtualAddress) return;
    // A DLL may have more than one descriptor (one per import library that named it).
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name; ++d) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + d->Name), dll) != 0) continue;
        if (!d->OriginalFirstThunk) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        auto* addresses = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++addresses) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (lstrcmpA(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
            if (count_ == kMaxEntries) return;
            auto** entry = reinterpret_cast<void**>(&addresses->u1.Function);
            if (!original_) original_ = *entry;
            entries_[count_++] = entry;
            Write(entry, replacement);
        }
    }
}

ImportSpy::~ImportSpy() {
    for (int i = 0; i < count_; ++i) Write(entries_[i], original_);
}
