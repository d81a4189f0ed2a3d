#include "tests/menuorder/MenuOrderTestSupport.h"

#include <shlwapi.h>

namespace {

DWORD Get32(const BYTE* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<DWORD>(p[3]) << 24);
}

}  // namespace

std::vector<BYTE> BuildRecord(const std::vector<TestEntry>& entries, DWORD reserved) {
    std::vector<BYTE> record(20);  // dataSize at 8 is set below
    SetField(&record, 0, 8);
    SetField(&record, 4, 2);
    SetField(&record, 12, reserved);
    SetField(&record, 16, static_cast<DWORD>(entries.size()));
    for (const TestEntry& entry : entries) {
        // entrySize (set below), position, then item data the lookup does not interpret,
        // with the flags byte at 10.
        std::vector<BYTE> item = {0, 0, 0, 0, 0, 0, 0, 0, 0x16, 0x00, 0x32, 0x00, 0x8a, 0x02,
                                  0x00, 0x00, 0x5b, 0x4f, 0x12, 0x60, 0x20, 0x00};
        SetField(&item, 4, static_cast<DWORD>(entry.position));
        if (entry.wide) item[10] |= 0x04;
        for (wchar_t c : entry.name + L'\0') {  // the name and its terminator
            item.push_back(static_cast<BYTE>(c));
            if (entry.wide) item.push_back(static_cast<BYTE>(c >> 8));
        }
        item.insert(item.end(), entry.trailing.begin(), entry.trailing.end());
        SetField(&item, 0, static_cast<DWORD>(item.size()));
        record.insert(record.end(), item.begin(), item.end());
    }
    SetField(&record, 8, static_cast<DWORD>(record.size() - 8));
    return record;
}

DWORD GetField(const std::vector<BYTE>& bytes, size_t offset) { return Get32(&bytes[offset]); }

void SetField(std::vector<BYTE>* bytes, size_t offset, DWORD value) {
    for (int i = 0; i < 4; ++i) (*bytes)[offset + i] = static_cast<BYTE>(value >> (8 * i));
}

std::vector<DWORD> WellFormedEntryOffsets(const BYTE* bytes, size_t size) {
    std::vector<DWORD> offsets;
    if (size < 20) return offsets;
    unsigned long long count = Get32(bytes + 16), at = 20;
    for (unsigned long long i = 0; i < count && at + 22 <= size; ++i) {
        const BYTE* e = bytes + at;
        unsigned long long entrySize = Get32(e);
        if (entrySize < 22 || at + entrySize > size) break;
        // The terminator is one zero unit of the name's width.
        const unsigned step = (e[10] & 0x04) ? 2 : 1;
        bool terminated = false;
        for (unsigned long long k = 22; !terminated && k + step <= entrySize; k += step) {
            terminated = e[k] == 0 && (step == 1 || e[k + 1] == 0);
        }
        if (!terminated) break;
        offsets.push_back(static_cast<DWORD>(at));
        at += entrySize;
    }
    return offsets;
}

std::vector<LONG> EntryPositions(const std::vector<BYTE>& bytes) {
    std::vector<LONG> positions;
    for (DWORD offset : WellFormedEntryOffsets(bytes.data(), bytes.size())) {
        positions.push_back(static_cast<LONG>(GetField(bytes, offset + 4)));
    }
    return positions;
}

std::wstring ShortFileName(const std::wstring& path) {
    wchar_t buffer[MAX_PATH] = L"";
    DWORD length = GetShortPathNameW(path.c_str(), buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return L"";
    return PathFindFileNameW(buffer);
}

std::vector<BYTE> OtherViewSaveRecord(const std::wstring& view, const std::wstring& save,
                                      const std::vector<LONG>& positions, bool otherWide) {
    return BuildRecord({{L"Other.url", otherWide, positions[0]}, {ShortFileName(view), true, positions[1]},
                        {ShortFileName(save), true, positions[2]}});
}

LONG OpenKeyResult(const wchar_t* path, REGSAM access) {
    HKEY probe = nullptr;
    LONG result = RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, access, &probe);
    if (probe) RegCloseKey(probe);
    return result;
}

bool TestOrderKey::Open() {
    std::wstring path = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer";
    for (const wchar_t* part : {L"MenuOrder", L"Favorites", L"Links"}) {
        path = path + L"\\" + part;
        if (OpenKeyResult(path.c_str(), KEY_READ) != 0) {
            createdRoot_ = path;
            break;
        }
    }
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kOrderKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_,
                        nullptr) != 0) return false;
    hadOrder_ = createdRoot_.empty() && Read(&savedOrder_, &savedType_);
    if (hadOrder_) RegDeleteValueW(key_, kOrderValueName);
    return true;
}

bool TestOrderKey::Restore() {
    bool restored = true;
    if (key_) {
        RegDeleteValueW(key_, kOrderValueName);
        if (hadOrder_) restored = Write(savedOrder_, savedType_);
        RegCloseKey(key_);
        key_ = nullptr;
    }
    hadOrder_ = false;
    if (!createdRoot_.empty()) {
        // The key may be gone already (a test deleted it); its parents must go too.
        (void)RegDeleteTreeW(HKEY_CURRENT_USER, createdRoot_.c_str());
        if (OpenKeyResult(createdRoot_.c_str(), KEY_READ) == 0) restored = false;
        createdRoot_.clear();
    }
    return restored;
}

bool TestOrderKey::DeleteKey() {
    if (createdRoot_.empty() || !key_) return false;
    RegCloseKey(key_);
    key_ = nullptr;
    return RegDeleteKeyW(HKEY_CURRENT_USER, kOrderKeyPath) == 0;
}

bool TestOrderKey::Write(const std::vector<BYTE>& bytes, DWORD type) {
    return RegSetValueExW(key_, kOrderValueName, 0, type, bytes.data(), DWORD(bytes.size())) == 0;
}

bool TestOrderKey::Read(std::vector<BYTE>* bytes, DWORD* type) const {
    DWORD size = 0;
    if (RegQueryValueExW(key_, kOrderValueName, nullptr, type, nullptr, &size) != 0) return false;
    bytes->resize(size);
    return RegQueryValueExW(key_, kOrderValueName, nullptr, type, bytes->data(), &size) == 0;
}
