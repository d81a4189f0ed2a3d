// Reads the built images (not the sources): machine, subsystem, manifest and icon group.
#include <gtest/gtest.h>

#include "tests/support/TestEnvironment.h"

namespace {

struct Image {
    std::string bytes;
    const IMAGE_NT_HEADERS32* nt32() const {
        auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(bytes.data());
        return reinterpret_cast<const IMAGE_NT_HEADERS32*>(bytes.data() + dos->e_lfanew);
    }
};

bool LoadImage(const std::wstring& path, Image* image) {
    if (!ReadWholeFile(path, &image->bytes) || image->bytes.size() < 512) return false;
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image->bytes.data());
    return dos->e_magic == IMAGE_DOS_SIGNATURE &&
           static_cast<size_t>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS64) < image->bytes.size();
}

// The image mapped as a resource file: no code of it runs, and a 32-bit image can be read
// from this 64-bit program.
struct ResourceFile {
    HMODULE module;
    explicit ResourceFile(const std::wstring& path)
        : module(LoadLibraryExW(path.c_str(), nullptr,
                                LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
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
                                          static_cast<DWORD>(image.size()), TRUE, 0x00030000, 16, 16,
                                          LR_DEFAULTCOLOR);
    ASSERT_NE(icon, nullptr) << GetLastError();
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof(bmi.bmiHeader);
    bmi.bmiHeader.biWidth = 16;
    bmi.bmiHeader.biHeight = -16;  // top row first
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
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

TEST(ReleaseImage, Is32BitGuiProgram) {
    Image image;
    ASSERT_TRUE(LoadImage(TestEnvironment(L"BRIVOK_INSTALLER_WIN32"), &image));
    const IMAGE_NT_HEADERS32* nt = image.nt32();
    EXPECT_EQ(nt->Signature, IMAGE_NT_SIGNATURE);
    EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386) << std::hex << nt->FileHeader.Machine;
    EXPECT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC);
    EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
}

TEST(ReleaseImage, CarriesManifestForX86) {
    ResourceFile file(TestEnvironment(L"BRIVOK_INSTALLER_WIN32"));
    ASSERT_NE(file.module, nullptr) << GetLastError();
    ExpectManifest(file.Bytes(RT_MANIFEST, MAKEINTRESOURCEW(1)), "X86");
}

TEST(ReleaseImage, CarriesIconGroup) {
    ResourceFile file(TestEnvironment(L"BRIVOK_INSTALLER_WIN32"));
    ASSERT_NE(file.module, nullptr) << GetLastError();
    ExpectIconGroup(file);
}

TEST(TestedImage, Is64BitGuiProgramWithAmd64Manifest) {
    Image image;
    ASSERT_TRUE(LoadImage(TestEnvironment(L"BRIVOK_INSTALLER"), &image));
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image.nt32());
    EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64) << std::hex << nt->FileHeader.Machine;
    EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    ResourceFile file(TestEnvironment(L"BRIVOK_INSTALLER"));
    ASSERT_NE(file.module, nullptr) << GetLastError();
    ExpectManifest(file.Bytes(RT_MANIFEST, MAKEINTRESOURCEW(1)), "amd64");
    ExpectIconGroup(file);
}

}  // namespace
