#include "tests/menuorder/MenuOrderTestRecords.h"

namespace {

void Put32(std::vector<BYTE>* out, DWORD value) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<BYTE>(value >> (8 * i)));
}

}  // namespace

std::vector<BYTE> BuildRecord(const std::vector<TestEntry>& entries, DWORD reserved) {
    std::vector<BYTE> record;
    Put32(&record, 8);
    Put32(&record, 2);
    Put32(&record, 0);  // dataSize, set below
    Put32(&record, reserved);
    Put32(&record, static_cast<DWORD>(entries.size()));
    for (const TestEntry& entry : entries) {
        std::vector<BYTE> item;
        Put32(&item, 0);  // entrySize, set below
        Put32(&item, static_cast<DWORD>(entry.position));
        // Item data the lookup does not interpret, with the flags byte at 10.
        for (BYTE b : {0x16, 0x00, 0x32, 0x00, 0x8a, 0x02, 0x00, 0x00, 0x5b, 0x4f, 0x12,
                       0x60, 0x20, 0x00}) {
            item.push_back(b);
        }
        if (entry.wide) item[10] |= 0x04;
        for (wchar_t c : entry.name) {
            item.push_back(static_cast<BYTE>(c));
            if (entry.wide) item.push_back(static_cast<BYTE>(c >> 8));
        }
        item.push_back(0);
        if (entry.wide) item.push_back(0);
        item.insert(item.end(), entry.trailing.begin(), entry.trailing.end());
        SetField(&item, 0, static_cast<DWORD>(item.size()));
        record.insert(record.end(), item.begin(), item.end());
    }
    SetField(&record, 8, static_cast<DWORD>(record.size() - 8));
    return record;
}

DWORD GetField(const std::vector<BYTE>& bytes, size_t offset) {
    return bytes[offset] | (bytes[offset + 1] << 8) | (bytes[offset + 2] << 16) |
           (static_cast<DWORD>(bytes[offset + 3]) << 24);
}

void SetField(std::vector<BYTE>* bytes, size_t offset, DWORD value) {
    for (int i = 0; i < 4; ++i) (*bytes)[offset + i] = static_cast<BYTE>(value >> (8 * i));
}

std::vector<DWORD> WellFormedEntryOffsets(const BYTE* bytes, size_t size) {
    std::vector<DWORD> offsets;
    if (size < 20) return offsets;
    unsigned long long count = bytes[16] | (bytes[17] << 8) | (bytes[18] << 16) |
                               (static_cast<unsigned long long>(bytes[19]) << 24);
    unsigned long long at = 20;
    for (unsigned long long i = 0; i < count; ++i) {
        if (at + 22 > size) break;
        const BYTE* e = bytes + at;
        unsigned long long entrySize =
            e[0] | (e[1] << 8) | (e[2] << 16) | (static_cast<unsigned long long>(e[3]) << 24);
        if (entrySize < 22 || at + entrySize > size) break;
        bool terminated = false;
        if (e[10] & 0x04) {
            for (unsigned long long k = 22; k + 1 < entrySize; k += 2) {
                if (e[k] == 0 && e[k + 1] == 0) {
                    terminated = true;
                    break;
                }
            }
        } else {
            for (unsigned long long k = 22; k < entrySize; ++k) {
                if (e[k] == 0) {
                    terminated = true;
                    break;
                }
            }
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
