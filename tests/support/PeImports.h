#pragma once
// The tests' one reader of a PE image's import table, either word size: from the file's bytes
// (release checks) or from an image the loader mapped without running it (failure campaign).
#include <windows.h>

#include <cctype>
#include <string>
#include <vector>

struct PeImport {
    std::string name;  // empty: taken by ordinal
    WORD ordinal;
    DWORD slot;        // RVA of its entry in the import address table, which the loader fills
};
struct PeImportedDll {
    std::string name;  // lower case
    std::vector<PeImport> functions;
};

// The DLLs of the import table at RVA table, in its order; at(rva) is where the bytes of an
// RVA are, null where the image holds none.
template <typename At>
std::vector<PeImportedDll> ReadImports(DWORD table, bool wide, At at) {
    std::vector<PeImportedDll> dlls;
    auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(table ? at(table) : nullptr);
    for (; entry && entry->Name; ++entry) {
        const char* name = at(entry->Name);
        dlls.push_back({name ? name : "<bad name rva>", {}});
        for (char& c : dlls.back().name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        DWORD names = entry->OriginalFirstThunk ? entry->OriginalFirstThunk : entry->FirstThunk;
        for (DWORD i = 0, width = wide ? 8 : 4;; ++i) {
            ULONGLONG value = 0;  // the entry, of the image's word size
            if (const char* thunk = at(names + i * width)) CopyMemory(&value, thunk, width);
            if (!value) break;
            bool byOrdinal = value & (wide ? IMAGE_ORDINAL_FLAG64 : IMAGE_ORDINAL_FLAG32);
            auto* byName = byOrdinal ? nullptr
                                     : reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(at(static_cast<DWORD>(value)));
            dlls.back().functions.push_back({byOrdinal ? "" : byName ? byName->Name : "<bad rva>",
                                             static_cast<WORD>(byOrdinal ? value : 0), entry->FirstThunk + i * width});
        }
    }
    return dlls;
}

// The same of an image the loader mapped, of this program's word size: an RVA is an offset.
inline std::vector<PeImportedDll> MappedImports(HMODULE module) {
    auto* base = reinterpret_cast<const char*>(module);
    auto* nt =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    return ReadImports(nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress,
                       sizeof(void*) == 8, [base](DWORD rva) { return base + rva; });
}
