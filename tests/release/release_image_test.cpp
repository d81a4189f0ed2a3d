// Reads both built images (not the sources): machine, subsystem, manifest and icons, size
// budget, what they import, hardening flags and version information.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <set>
#include <vector>

#include "tests/support/FaultInjector.h"
#include "tests/support/MessageBoxReader.h"
#include "tests/support/PeImports.h"
#include "tests/support/TestEnvironment.h"

namespace {

const char kDefaultRoot[] = "https://www.brivok.com/";
// 40 blocks of 512 bytes, and one more for the entry's error mode, the search left
// unrestricted on Vista and the retries of a file another process holds.
const size_t kWin32Budget = 20992;

// A PE file held in memory, with its headers located for either word size.
struct PeFile {
    std::string bytes;
    const IMAGE_FILE_HEADER* file = nullptr;
    WORD magic = 0;
    WORD subsystem = 0;
    WORD dllCharacteristics = 0;
    ULONGLONG imageBase = 0;
    std::vector<IMAGE_DATA_DIRECTORY> directories;
    std::vector<IMAGE_SECTION_HEADER> sections;
    std::vector<PeImportedDll> imports;  // in table order

    // File offset of an RVA, or 0 when no section holds it.
    size_t Offset(DWORD rva) const {
        for (const auto& s : sections) {
            DWORD size = std::max(s.Misc.VirtualSize, s.SizeOfRawData);
            if (rva >= s.VirtualAddress && rva < s.VirtualAddress + size) {
                size_t offset = rva - s.VirtualAddress + s.PointerToRawData;
                return offset < bytes.size() ? offset : 0;
            }
        }
        return 0;
    }
    const char* At(DWORD rva) const {
        size_t offset = Offset(rva);
        return offset ? bytes.data() + offset : nullptr;
    }
    IMAGE_DATA_DIRECTORY Directory(int index) const {
        return index < static_cast<int>(directories.size()) ? directories[index] : IMAGE_DATA_DIRECTORY{0, 0};
    }
};

// The optional header's fields, the same names at other offsets in either word size.
template <typename OptionalHeader>
void ReadOptionalHeader(const OptionalHeader& header, PeFile* pe) {
    pe->dllCharacteristics = header.DllCharacteristics;
    pe->subsystem = header.Subsystem;
    pe->imageBase = header.ImageBase;
    DWORD count = std::min<DWORD>(header.NumberOfRvaAndSizes, IMAGE_NUMBEROF_DIRECTORY_ENTRIES);
    pe->directories.assign(header.DataDirectory, header.DataDirectory + count);
}

bool LoadPe(const std::wstring& path, PeFile* pe) {
    if (!ReadWholeFile(path, &pe->bytes) || pe->bytes.size() < 1024) return false;
    const char* base = pe->bytes.data();
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE ||
        static_cast<size_t>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS64) > pe->bytes.size())
        return false;
    auto* nt32 = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
    if (nt32->Signature != IMAGE_NT_SIGNATURE) return false;
    pe->file = &nt32->FileHeader;
    pe->magic = nt32->OptionalHeader.Magic;
    if (pe->magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC)
        ReadOptionalHeader(reinterpret_cast<const IMAGE_NT_HEADERS64*>(nt32)->OptionalHeader, pe);
    else
        ReadOptionalHeader(nt32->OptionalHeader, pe);
    auto* section = reinterpret_cast<const IMAGE_SECTION_HEADER*>(
        reinterpret_cast<const char*>(&nt32->OptionalHeader) + pe->file->SizeOfOptionalHeader);
    for (WORD i = 0; i < pe->file->NumberOfSections; ++i) pe->sections.push_back(section[i]);
    pe->imports = ReadImports(pe->Directory(IMAGE_DIRECTORY_ENTRY_IMPORT).VirtualAddress,
                              pe->magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC, [pe](DWORD rva) { return pe->At(rva); });
    return true;
}

std::string SectionName(const IMAGE_SECTION_HEADER& section) {
    return std::string(reinterpret_cast<const char*>(section.Name),
                       strnlen(reinterpret_cast<const char*>(section.Name), 8));
}

struct ImagePath {
    const wchar_t* variable;
    WORD magic;
    WORD machine;
    const char* manifestArchitecture;
    WORD hardening;  // DllCharacteristics flags that must be set
    DWORD relocationType;
};
const WORD kAslrAndDep = IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE | IMAGE_DLLCHARACTERISTICS_NX_COMPAT;
const ImagePath kImages[] = {
    {L"BRIVOK_INSTALLER_WIN32", IMAGE_NT_OPTIONAL_HDR32_MAGIC, IMAGE_FILE_MACHINE_I386, "X86", kAslrAndDep,
     IMAGE_REL_BASED_HIGHLOW},
    {L"BRIVOK_INSTALLER", IMAGE_NT_OPTIONAL_HDR64_MAGIC, IMAGE_FILE_MACHINE_AMD64, "amd64",
     kAslrAndDep | IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA, IMAGE_REL_BASED_DIR64},
};

// Runs check(image, pe) on each built image, read from the file its variable names.
template <typename Check>
void ForEachImage(Check check) {
    for (const ImagePath& image : kImages) {
        SCOPED_TRACE(Narrow(image.variable));
        PeFile pe;
        ASSERT_TRUE(LoadPe(TestEnvironment(image.variable), &pe));
        check(image, pe);
    }
}

// The image mapped as a resource file: no code of it runs, and a 32-bit image can be read
// from this 64-bit program.
struct ResourceFile {
    HMODULE module;
    explicit ResourceFile(const std::wstring& path)
        : module(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
    ~ResourceFile() { if (module) FreeLibrary(module); }
    std::string Bytes(LPCWSTR type, LPCWSTR name) const {
        HRSRC found = FindResourceW(module, name, type);
        if (!found) return std::string();
        HGLOBAL loaded = LoadResource(module, found);
        const char* data = static_cast<const char*>(LockResource(loaded));
        return data ? std::string(data, SizeofResource(module, found)) : std::string();
    }
};

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

void ExpectManifest(const std::string& manifest, const char* architecture) {
    ASSERT_FALSE(manifest.empty()) << "no manifest resource 1";
    EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"),
              std::string::npos) << manifest;
    std::string dependency =
        std::string("<assemblyIdentity type=\"win32\" name=\"Microsoft.Windows.Common-Controls\" "
                    "version=\"6.0.0.0\" processorArchitecture=\"") + architecture +
        "\" publicKeyToken=\"6595b64144ccf1df\" language=\"*\"/>";
    EXPECT_NE(manifest.find(dependency), std::string::npos) << manifest;
    EXPECT_NE(manifest.find("<dependentAssembly>"), std::string::npos);
}

// Draws one icon image as the system loads it (the 8-bit one lists only the colours it
// uses) and checks a pixel of each colour and a transparent corner.
void ExpectIconPixels(const std::string& image, WORD depth) {
    SCOPED_TRACE(depth);
    HICON icon = CreateIconFromResourceEx(reinterpret_cast<BYTE*>(const_cast<char*>(image.data())),
                                          static_cast<DWORD>(image.size()), TRUE, 0x00030000, 16, 16, LR_DEFAULTCOLOR);
    ASSERT_NE(icon, nullptr) << GetLastError();
    BITMAPINFO bmi = {};
    bmi.bmiHeader = {sizeof(bmi.bmiHeader), 16, -16, 1, 32};  // 16 by 16 at 32 bits, top row first
    void* bits = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateDIBSection(dc, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
    ASSERT_NE(bitmap, nullptr);
    HGDIOBJ old = SelectObject(dc, bitmap);
    auto* pixels = static_cast<DWORD*>(bits);
    for (int i = 0; i < 256; ++i) pixels[i] = 0x00123456;
    EXPECT_TRUE(DrawIconEx(dc, 0, 0, icon, 16, 16, 0, nullptr, DI_NORMAL));
    GdiFlush();
    // (x, y, 0xRRGGBB): edge "b", button "B", letter "w", dot "o", corner left as it was.
    const struct { int x, y; DWORD colour; } expected[] = {
        {2, 1, 0x102080}, {2, 2, 0x2070E0}, {4, 3, 0xFFFFFF}, {12, 11, 0xFF9010}, {0, 0, 0x123456}};
    for (const auto& e : expected)
        EXPECT_EQ(pixels[e.y * 16 + e.x] & 0xFFFFFF, e.colour) << e.x << "," << e.y << ": " << std::hex
                                                               << pixels[e.y * 16 + e.x];
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    DestroyIcon(icon);
}

void ExpectIconGroup(const ResourceFile& file) {
    std::string group = file.Bytes(RT_GROUP_ICON, MAKEINTRESOURCEW(1));
    ASSERT_GE(group.size(), 6u) << "no icon group 1";
    const WORD* header = reinterpret_cast<const WORD*>(group.data());
    EXPECT_EQ(header[0], 0);
    EXPECT_EQ(header[1], 1);  // icons, not cursors
    ASSERT_EQ(header[2], 3) << "images in the group";
    ASSERT_EQ(group.size(), 6u + 3 * sizeof(GroupIconEntry));
    const auto* entries = reinterpret_cast<const GroupIconEntry*>(group.data() + 6);
    const WORD depths[3] = {4, 8, 32};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(entries[i].width, 16) << i;
        EXPECT_EQ(entries[i].height, 16) << i;
        EXPECT_EQ(entries[i].bitCount, depths[i]) << i;
        std::string image = file.Bytes(RT_ICON, MAKEINTRESOURCEW(entries[i].id));
        ASSERT_EQ(image.size(), entries[i].bytes) << "icon image " << entries[i].id;
        const auto* info = reinterpret_cast<const BITMAPINFOHEADER*>(image.data());
        EXPECT_EQ(info->biWidth, 16);
        EXPECT_EQ(info->biHeight, 32);  // colour and mask
        EXPECT_EQ(info->biBitCount, depths[i]);
        ExpectIconPixels(image, depths[i]);
    }
}

TEST(ReleaseImage, GuiProgramsWithManifestAndIcons) {
    ForEachImage([](const ImagePath& image, const PeFile& pe) {
        EXPECT_EQ(pe.file->Machine, image.machine) << std::hex << pe.file->Machine;
        EXPECT_EQ(pe.magic, image.magic);
        EXPECT_EQ(pe.subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
        ResourceFile file(TestEnvironment(image.variable));
        ASSERT_NE(file.module, nullptr) << GetLastError();
        ExpectManifest(file.Bytes(RT_MANIFEST, MAKEINTRESOURCEW(1)), image.manifestArchitecture);
        ExpectIconGroup(file);
    });
}

TEST(ReleaseFootprint, Win32ImageFitsBudget) {
    std::string root = Narrow(TestEnvironment(L"BRIVOK_ROOT"));
    if (root != kDefaultRoot) GTEST_SKIP() << "the budget holds for the default root; this build uses " << root;
    PeFile pe;
    ASSERT_TRUE(LoadPe(TestEnvironment(L"BRIVOK_INSTALLER_WIN32"), &pe));
    EXPECT_LE(pe.bytes.size(), kWin32Budget) << "bytes of dist/win32/BrivokButtons.exe";
    PeFile pe64;
    ASSERT_TRUE(LoadPe(TestEnvironment(L"BRIVOK_INSTALLER"), &pe64));
    std::cout << "image sizes: win32 " << pe.bytes.size() << ", win64 " << pe64.bytes.size() << " bytes\n";
    // The room left in each section of the win32 image: what its file bytes hold beyond its use.
    for (const auto& s : pe.sections)
        std::cout << SectionName(s) << ": " << s.Misc.VirtualSize << " of " << s.SizeOfRawData << " bytes, "
                  << (s.SizeOfRawData > s.Misc.VirtualSize ? s.SizeOfRawData - s.Misc.VirtualSize : 0) << " spare\n";
}

// Only DLLs that every Windows from XP on takes from its list of known system DLLs, whatever
// lies beside the program, may be bound at load time: a static import is resolved before any
// of our code could protect it. shlwapi (not on XP's list) and comctl32 (whose start-up loads
// the theme library by name) are loaded later.
TEST(ReleaseImports, OnlyKnownSystemDllsAreImportedStatically) {
    const std::set<std::string> allowed = {"kernel32.dll", "user32.dll",  "advapi32.dll", "gdi32.dll",
                                           "ole32.dll",    "oleaut32.dll", "shell32.dll"};
    ForEachImage([&allowed](const ImagePath&, const PeFile& pe) {
        std::string all;
        for (const PeImportedDll& dll : pe.imports) all += dll.name + " ";
        EXPECT_FALSE(pe.imports.empty());
        EXPECT_NE((" " + all).find(" kernel32.dll "), std::string::npos) << all;
        for (const PeImportedDll& dll : pe.imports)
            EXPECT_EQ(allowed.count(dll.name), 1u) << "imports " << dll.name << " (all: " << all << ")";
        IMAGE_DATA_DIRECTORY delay = pe.Directory(IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT);
        EXPECT_EQ(delay.Size, 0u) << "delay-load imports";
    });
}

// Windows XP as first released exports three SHELL32 functions by ordinal only: a by-name
// import of any of them stops the loader before the program starts. Everything else the
// release imports must be there on XP SP2. What is on XP, and where: the campaign's table
// of functions, and of the imports it leaves out.
TEST(ReleaseImports, Win32ImageLoadsOnWindowsXp) {
    std::set<std::string> onXp, byOrdinal;  // "dll!name", "dll#ordinal"
    for (const std::vector<FaultFunction>* functions : {&FaultFunctions(), &FaultFunctionsLeftOut()})
        for (const FaultFunction& f : *functions) {
            if (f.dll && f.ordinal) byOrdinal.insert(f.dll + ("#" + std::to_string(f.ordinal)));
            if (f.dll && f.onXp) onXp.insert(f.dll + ("!" + std::string(f.name)));
        }
    ASSERT_EQ(byOrdinal.size(), 3u) << "PathGetShortPath, ILFree, ILCreateFromPathW";

    PeFile pe;
    ASSERT_TRUE(LoadPe(TestEnvironment(L"BRIVOK_INSTALLER_WIN32"), &pe));
    ASSERT_EQ(pe.magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);
    std::set<std::string> ordinals;
    size_t named = 0;
    for (const PeImportedDll& dll : pe.imports)
        for (const PeImport& import : dll.functions) {
            if (import.name.empty()) {
                std::string ordinal = dll.name + "#" + std::to_string(import.ordinal);
                EXPECT_EQ(byOrdinal.count(ordinal), 1u) << ordinal << " is not known to be on Windows XP";
                EXPECT_TRUE(ordinals.insert(ordinal).second) << ordinal << " twice";
            } else {
                ++named;
                EXPECT_EQ(onXp.count(dll.name + "!" + import.name), 1u)
                    << dll.name << "!" << import.name << " is not known to be on Windows XP SP2";
            }
        }
    EXPECT_EQ(ordinals, byOrdinal);
    EXPECT_GT(named, 40u);
}

// Without the C runtime nothing may run before the entry point and nothing of the
// runtime's start-up may be left: no TLS callbacks, no .CRT/.tls sections, no exports.
TEST(ReleaseImports, NoRuntimeStartUpLeftovers) {
    ForEachImage([](const ImagePath& image, const PeFile& pe) {
        EXPECT_EQ(pe.magic, image.magic);
        EXPECT_EQ(pe.Directory(IMAGE_DIRECTORY_ENTRY_TLS).Size, 0u);
        EXPECT_EQ(pe.Directory(IMAGE_DIRECTORY_ENTRY_EXPORT).Size, 0u);
        EXPECT_EQ(pe.Directory(IMAGE_DIRECTORY_ENTRY_DEBUG).Size, 0u);
        for (const auto& section : pe.sections) {
            std::string name = SectionName(section);
            EXPECT_NE(name, ".CRT");
            EXPECT_NE(name, ".tls");
            EXPECT_NE(name.substr(0, 6), ".debug") << name;
        }
        EXPECT_EQ(pe.file->NumberOfSymbols, 0u) << "not stripped";
    });
}

TEST(ReleaseHardening, AslrAndDepFlagsSet) {
    ForEachImage([](const ImagePath& image, const PeFile& pe) {
        EXPECT_EQ(pe.dllCharacteristics & image.hardening, image.hardening)
            << std::hex << "DllCharacteristics " << pe.dllCharacteristics;
        EXPECT_EQ(pe.file->Characteristics & IMAGE_FILE_RELOCS_STRIPPED, 0)
            << std::hex << "Characteristics " << pe.file->Characteristics;
    });
}

// Every absolute address in the image needs a base relocation, or a moved image would use
// stale pointers: the table must survive stripping and section collection.
TEST(ReleaseHardening, RelocationsKept) {
    ForEachImage([](const ImagePath& image, const PeFile& pe) {
        IMAGE_DATA_DIRECTORY relocs = pe.Directory(IMAGE_DIRECTORY_ENTRY_BASERELOC);
        ASSERT_GT(relocs.Size, sizeof(IMAGE_BASE_RELOCATION));
        const char* table = pe.At(relocs.VirtualAddress);
        ASSERT_NE(table, nullptr) << "relocation table outside every section";
        size_t fixups = 0;
        for (DWORD offset = 0; offset + sizeof(IMAGE_BASE_RELOCATION) <= relocs.Size;) {
            auto* block = reinterpret_cast<const IMAGE_BASE_RELOCATION*>(table + offset);
            ASSERT_GE(block->SizeOfBlock, sizeof(IMAGE_BASE_RELOCATION));
            EXPECT_NE(pe.Offset(block->VirtualAddress), 0u) << std::hex << "block for " << block->VirtualAddress;
            auto* entries = reinterpret_cast<const WORD*>(block + 1);
            size_t count = (block->SizeOfBlock - sizeof(IMAGE_BASE_RELOCATION)) / sizeof(WORD);
            for (size_t i = 0; i < count; ++i) {
                DWORD type = entries[i] >> 12;
                if (type == IMAGE_REL_BASED_ABSOLUTE) continue;  // padding
                EXPECT_EQ(type, image.relocationType);
                ++fixups;
            }
            offset += block->SizeOfBlock;
        }
        EXPECT_GT(fixups, 0u);
    });
}

// The 64-bit image must load somewhere other than its preferred base: this program already
// sits there (or the system moves it anyway), and the loader has to relocate it.
TEST(ReleaseHardening, Win64ImageLoadsAtAnotherBase) {
    PeFile pe;
    std::wstring path = TestEnvironment(L"BRIVOK_INSTALLER");
    ASSERT_TRUE(LoadPe(path, &pe));
    HMODULE self = GetModuleHandleW(nullptr);
    if (reinterpret_cast<ULONGLONG>(self) != pe.imageBase)
        GTEST_SKIP() << "this test program is not at the installer's preferred base";
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(module, nullptr) << "the loader could not place the image elsewhere: " << GetLastError();
    EXPECT_NE(reinterpret_cast<ULONGLONG>(module), pe.imageBase);
    FreeLibrary(module);
}

std::wstring VersionString(const std::vector<char>& block, const wchar_t* name) {
    wchar_t* value = nullptr;
    UINT length = 0;
    std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) || !value)
        return L"<missing>";
    return std::wstring(value, length && value[length - 1] == 0 ? length - 1 : length);
}

TEST(ReleaseVersionInfo, NamesProductAndProjectVersion) {
    const std::wstring version = BRIVOK_TEST_PROJECT_VERSION;
    const WORD parts[3] = {BRIVOK_TEST_VERSION_MAJOR, BRIVOK_TEST_VERSION_MINOR, BRIVOK_TEST_VERSION_PATCH};
    for (const ImagePath& image : kImages) {
        std::wstring path = TestEnvironment(image.variable);
        DWORD handle = 0xdeadbeef;
        DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
        ASSERT_NE(size, 0u) << Narrow(path) << " has no version information: " << GetLastError();
        std::vector<char> block(size);
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data())) << GetLastError();

        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT fixedLength = 0;
        ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedLength));
        ASSERT_EQ(fixedLength, sizeof(VS_FIXEDFILEINFO));
        EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu) << std::hex << fixed->dwSignature;
        EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(parts[1], parts[0])) << std::hex << fixed->dwFileVersionMS;
        EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(0, parts[2])) << std::hex << fixed->dwFileVersionLS;
        EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
        EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
        EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
        EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u) << "debug/pre-release flags";

        const std::pair<const wchar_t*, std::wstring> strings[] = {
            {L"ProductName", L"BriVok Buttons"}, {L"CompanyName", L"BriVok"},
            {L"FileDescription", L"BriVok Buttons for the Internet Explorer Links toolbar"},
            {L"OriginalFilename", L"BrivokButtons.exe"}, {L"FileVersion", version}, {L"ProductVersion", version}};
        for (const auto& string : strings)
            EXPECT_EQ(VersionString(block, string.first), string.second)
                << Narrow(string.first) << ": " << Narrow(VersionString(block, string.first));

        struct { WORD language, codePage; }* translation = nullptr;
        UINT translationLength = 0;
        ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                                   reinterpret_cast<void**>(&translation), &translationLength));
        ASSERT_GE(translationLength, 4u);
        EXPECT_EQ(translation->language, 0x409);
        EXPECT_EQ(translation->codePage, 1200);
    }
}

}  // namespace
