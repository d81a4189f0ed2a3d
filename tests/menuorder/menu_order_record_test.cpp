// Lookup and repositioning on order records held in memory, including records that break
// the entry rules, placed right before an inaccessible page.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "menuorder/MenuOrderRecord.h"
#include "tests/menuorder/MenuOrderTestSupport.h"

namespace {

// A record as stored, the entries a careful walk accepts in it, and a view for the product.
struct HeldRecord {
    explicit HeldRecord(std::vector<BYTE> stored)
        : bytes(std::move(stored)), original(bytes), offsets(WellFormedEntryOffsets(bytes.data(), bytes.size())) {}
    std::vector<BYTE> bytes;
    const std::vector<BYTE> original;
    const std::vector<DWORD> offsets;
    MenuOrderRecord record{bytes.data(), static_cast<DWORD>(bytes.size())};
};

std::vector<TestEntry> Abcd() {
    return {{L"A.URL", true, 0}, {L"B.URL", false, 1}, {L"C.URL", true, 2}, {L"D.URL", false, 3}};
}

// Every byte but the position fields of the given entries; names each byte that differs.
testing::AssertionResult SameOutsidePositions(const std::vector<BYTE>& before, const std::vector<BYTE>& after,
                                              const std::vector<DWORD>& entryOffsets) {
    if (before.size() != after.size()) {
        return testing::AssertionFailure() << before.size() << " bytes before, " << after.size();
    }
    std::vector<bool> masked(before.size(), false);
    for (DWORD offset : entryOffsets) std::fill(masked.begin() + offset + 4, masked.begin() + offset + 8, true);
    testing::AssertionResult result = testing::AssertionSuccess();
    for (size_t i = 0; i < before.size(); ++i) {
        if (!masked[i] && before[i] != after[i]) {
            if (result) result = testing::AssertionFailure();
            result << "byte " << i << ": expected " << int(before[i]) << ", got " << int(after[i]) << "; ";
        }
    }
    return result;
}

struct MoveCase {
    const char* what;
    std::vector<LONG> positions;  // of A B C D
    std::vector<std::pair<int, LONG>> moves;  // entry index, new position
    std::vector<bool> results;
    std::vector<LONG> expected;
};

TEST(MoveMenuOrderEntry, ShiftsEntriesAtOrBehindTheNewPosition) {
    const MoveCase cases[] = {
        {"D to 0", {0, 1, 2, 3}, {{3, 0}}, {true}, {1, 2, 3, 0}},
        {"C to 0", {0, 1, 2, 3}, {{2, 0}}, {true}, {1, 2, 0, 4}},
        {"D to 0, then C to 1", {0, 1, 2, 3}, {{3, 0}, {2, 1}}, {true, true}, {2, 3, 1, 0}},
        {"A to 2 keeps the gap at 0", {0, 1, 2, 3}, {{0, 2}}, {true}, {2, 1, 3, 4}},
        {"to its own position", {0, 1, 2, 3}, {{1, 1}}, {false}, {0, 1, 2, 3}},
        {"gaps are not closed", {0, 5, 9, 20}, {{3, 6}}, {true}, {0, 5, 10, 6}},
        {"negative positions stay below", {-7, -1, 4, 0}, {{2, 0}}, {true}, {-7, -1, 0, 1}},
        {"equal positions all shift", {3, 3, 3, 0}, {{3, 3}}, {true}, {4, 4, 4, 3}},
        {"the top of the range wraps", {0x7fffffff, 1, 0x7ffffffe, 2}, {{1, 0}}, {true},
         {LONG(0x80000000), 0, 0x7fffffff, 3}},
        {"to the bottom of the range", {LONG(0x80000000), 1, 2, 3}, {{3, LONG(0x80000000)}}, {true},
         {LONG(0x80000001), 2, 3, LONG(0x80000000)}},
    };
    for (const MoveCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<TestEntry> entries = Abcd();
        for (size_t i = 0; i < entries.size(); ++i) entries[i].position = c.positions[i];
        // Bytes after the names, of odd and of no length, and a reserved field: all kept.
        entries[1].trailing = {0xde, 0xad, 0xbe, 0xef, 0x01};
        entries[2].trailing = {};
        HeldRecord held(BuildRecord(entries, 0x12345601));
        ASSERT_EQ(held.offsets.size(), 4u);
        for (size_t m = 0; m < c.moves.size(); ++m) {
            MenuOrderEntry entry{held.offsets[c.moves[m].first]};
            EXPECT_EQ(MoveMenuOrderEntry(&held.record, &entry, c.moves[m].second), c.results[m]) << "move " << m;
        }
        EXPECT_EQ(GetField(held.bytes, 12), 0x12345601u);
        EXPECT_EQ(EntryPositions(held.bytes), c.expected);
        EXPECT_TRUE(SameOutsidePositions(held.original, held.bytes, held.offsets));
    }
}

TEST(MoveMenuOrderEntry, RefusesAbsentArgumentsAndStrayEntries) {
    HeldRecord held(BuildRecord(Abcd()));
    const std::vector<DWORD>& offsets = held.offsets;
    const DWORD size = DWORD(held.bytes.size());
    MenuOrderEntry entry{offsets[3]};
    EXPECT_FALSE(MoveMenuOrderEntry(nullptr, &entry, 0));
    EXPECT_FALSE(MoveMenuOrderEntry(&held.record, nullptr, 0));
    // Offsets that are not the start of an entry, or lie outside the block.
    const DWORD strays[] = {0, 4, offsets[1] + 1, offsets[3] + 4, size - 4, size, 0xfffffff0};
    for (DWORD stray : strays) {
        MenuOrderEntry strayEntry{stray};
        EXPECT_FALSE(MoveMenuOrderEntry(&held.record, &strayEntry, 0)) << "offset " << stray;
    }
    EXPECT_EQ(held.bytes, held.original);
}

TEST(FindMenuOrderEntry, MatchesNamesWithoutRegardToCase) {
    std::vector<TestEntry> entries = {
        {L"ALPHA~1.URL", false, 0}, {L"ODD.URL", true, 1, {0x7f}}, {L"Shifted.URL", true, 2},
        {L"VIEWDR~1.URL", false, 3}, {L"Wide~Name.url", true, 4}, {L"VIEWDR~1.URL", true, 5},
        {L"+SAVEI~1.URL", true, 6}, {L"", true, 7}};
    HeldRecord held(BuildRecord(entries));
    ASSERT_EQ(held.offsets.size(), entries.size());
    // The odd-sized wide entry puts the next entry's name at an odd address.
    ASSERT_EQ(held.offsets[2] % 2, 1u);

    const std::pair<const wchar_t*, int> cases[] = {  // name, entry index or -1 for none
        {L"viewdr~1.url", 3},  // ANSI, and the first of two equal names
        {L"VIEWDR~1.URL", 3},  {L"alpha~1.url", 0},    {L"WIDE~NAME.URL", 4},
        {L"+savei~1.url", 6},  {L"", 7},               {L"shifted.url", 2},
        {L"VIEWDR~1.UR", -1},  {L"VIEWDR~1.URLX", -1}, {L"viewdr~2.url", -1},
    };
    for (auto [name, expected] : cases) {
        MenuOrderEntry entry{0xdeadbeef};
        SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
        EXPECT_EQ(FindMenuOrderEntry(&held.record, name, &entry), expected >= 0);
        EXPECT_EQ(entry.offset, expected >= 0 ? held.offsets[expected] : 0xdeadbeef);
    }
    EXPECT_EQ(held.bytes, held.original);
}

// 0x80 is U+20AC in code page 1252 and U+0402 in 1251; Latin-1 would make it U+0080.
TEST(FindMenuOrderEntry, ConvertsAnsiNamesFromTheThreadCodePage) {
    if (GetACP() != 1252) GTEST_SKIP() << "code page " << GetACP();
    HeldRecord western(BuildRecord({{L"CAF\xc9\x80~1.URL", false, 0}}));
    MenuOrderEntry entry{0xdeadbeef};
    EXPECT_TRUE(FindMenuOrderEntry(&western.record, L"caf\xe9\x20ac~1.url", &entry));
    EXPECT_EQ(entry.offset, 20u);
    EXPECT_FALSE(FindMenuOrderEntry(&western.record, L"caf\xe9\x80~1.url", &entry));

    LCID locale = GetThreadLocale();
    ASSERT_TRUE(SetThreadLocale(MAKELCID(MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT), SORT_DEFAULT)));
    HeldRecord cyrillic(BuildRecord({{L"\x80~1.URL", false, 0}}));
    bool found1251 = FindMenuOrderEntry(&cyrillic.record, L"\x402~1.url", &entry);
    bool found1252 = FindMenuOrderEntry(&cyrillic.record, L"\x20ac~1.url", &entry);
    SetThreadLocale(locale);
    EXPECT_TRUE(found1251) << "not converted from the thread's code page 1251";
    EXPECT_FALSE(found1252);
}

TEST(FindMenuOrderEntry, FindsNothingInEmptyOrAbsentRecords) {
    HeldRecord empty(BuildRecord({}, 0));
    ASSERT_EQ(empty.bytes.size(), 20u);
    MenuOrderEntry entry{0xdeadbeef};
    EXPECT_FALSE(FindMenuOrderEntry(&empty.record, L"", &entry));
    EXPECT_FALSE(FindMenuOrderEntry(&empty.record, L"A.URL", &entry));
    MenuOrderRecord none{nullptr, 0};
    EXPECT_FALSE(FindMenuOrderEntry(&none, L"A.URL", &entry));
    EXPECT_FALSE(FindMenuOrderEntry(nullptr, L"A.URL", &entry));
    // A record shorter than its header.
    HeldRecord stub(std::vector<BYTE>(empty.bytes.begin(), empty.bytes.begin() + 19));
    EXPECT_FALSE(FindMenuOrderEntry(&stub.record, L"A.URL", &entry));
    EXPECT_EQ(entry.offset, 0xdeadbeefu);
}

// A malformed entry ends the walk: the entries before it are found and moved, it and those
// after it are neither found nor changed.
TEST(MenuOrderWalk, StopsAtTheFirstMalformedEntry) {
    struct BadCase {
        const char* what;
        void (*spoil)(std::vector<BYTE>* bytes, const std::vector<DWORD>& offsets);
    };
    const BadCase cases[] = {
        {"entrySize 0", [](auto* b, const auto& o) { SetField(b, o[1], 0); }},
        {"entrySize below the name", [](auto* b, const auto& o) { SetField(b, o[1], 21); }},
        {"entrySize past the end", [](auto* b, const auto& o) { SetField(b, o[1], DWORD(b->size() - o[1] + 1)); }},
        {"entrySize near 4 GB", [](auto* b, const auto& o) { SetField(b, o[1], 0xfffffff0u); }},
        {"ANSI name without terminator in its entry", [](auto* b, const auto& o) {
            // B.URL's terminator and trailing bytes become part of the name.
            for (DWORD i = o[1] + 22; i < o[2]; ++i) (*b)[i] = 'x';
        }},
        {"UTF-16 name whose zero unit straddles the entry's end", [](auto* b, const auto& o) {
            // Wide entry C: drop its trailing bytes but one, so only an odd byte remains.
            DWORD nameEnd = o[2] + 22 + 2 * 5;  // C.URL, 5 characters
            for (DWORD i = nameEnd; i < o[3]; ++i) (*b)[i] = 0x41;
            (*b)[o[3] - 1] = 0;
        }},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<BYTE> stored = BuildRecord(Abcd());
        const std::vector<DWORD> offsets = WellFormedEntryOffsets(stored.data(), stored.size());
        c.spoil(&stored, offsets);
        HeldRecord held(stored);  // its offsets are the entries still accepted
        ASSERT_LT(held.offsets.size(), 4u);
        MenuOrderEntry entry{0xdeadbeef};
        EXPECT_TRUE(FindMenuOrderEntry(&held.record, L"a.url", &entry));
        EXPECT_EQ(entry.offset, offsets[0]);
        for (const wchar_t* later : {L"C.URL", L"D.URL"}) {
            MenuOrderEntry none{0xdeadbeef};
            EXPECT_FALSE(FindMenuOrderEntry(&held.record, later, &none));
        }
        MenuOrderEntry d{offsets[3]};
        EXPECT_FALSE(MoveMenuOrderEntry(&held.record, &d, 0));
        EXPECT_EQ(held.bytes, held.original);
        EXPECT_TRUE(MoveMenuOrderEntry(&held.record, &entry, 1));
        EXPECT_TRUE(SameOutsidePositions(held.original, held.bytes, held.offsets));
        for (size_t i = held.offsets.size(); i < 4; ++i) {
            EXPECT_EQ(GetField(held.bytes, offsets[i] + 4), GetField(held.original, offsets[i] + 4));
        }
    }
}

TEST(MenuOrderWalk, StopsWhereEntryCountRunsPastTheEntries) {
    std::vector<BYTE> stored = BuildRecord(Abcd());
    SetField(&stored, 16, 0xffffffff);
    HeldRecord held(stored);
    ASSERT_EQ(held.offsets.size(), 4u);
    MenuOrderEntry entry{0xdeadbeef};
    EXPECT_TRUE(FindMenuOrderEntry(&held.record, L"D.URL", &entry));
    EXPECT_EQ(entry.offset, held.offsets[3]);
    EXPECT_FALSE(FindMenuOrderEntry(&held.record, L"E.URL", &entry));
    EXPECT_TRUE(MoveMenuOrderEntry(&held.record, &entry, 0));
    EXPECT_EQ(EntryPositions(held.bytes), (std::vector<LONG>{1, 2, 3, 0}));
    EXPECT_TRUE(SameOutsidePositions(held.original, held.bytes, held.offsets));

    // A smaller entryCount hides the entries behind it.
    SetField(&held.bytes, 16, 2);
    EXPECT_FALSE(FindMenuOrderEntry(&held.record, L"C.URL", &entry));
}

// Records of random bytes and mutated valid records, each ending right before a page that
// may not be touched: lookups and moves must stay inside the record and change nothing but
// the positions of entries a careful walk accepts.
class GuardedBlock {
public:
    GuardedBlock() {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        page_ = info.dwPageSize;
        base_ = static_cast<BYTE*>(VirtualAlloc(nullptr, 2 * page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        guarded_ = base_ && VirtualProtect(base_ + page_, page_, PAGE_NOACCESS, &old);
    }
    ~GuardedBlock() { if (base_) VirtualFree(base_, 0, MEM_RELEASE); }
    bool ok() const { return guarded_; }
    size_t capacity() const { return page_; }
    // Copies the record so that its last byte is the last accessible one.
    BYTE* Place(const std::vector<BYTE>& record) {
        BYTE* at = base_ + page_ - record.size();
        if (!record.empty()) std::memcpy(at, record.data(), record.size());
        return at;
    }

private:
    BYTE* base_ = nullptr;
    DWORD page_ = 0;
    bool guarded_ = false;
};

bool coin(std::mt19937* rng) { return ((*rng)() & 1) != 0; }

std::vector<BYTE> RandomValidRecord(std::mt19937* rng) {
    std::uniform_int_distribution<int> count(0, 6), length(0, 14), letter(0x21, 0x7e);
    std::uniform_int_distribution<int> trailing(0, 6), position(-3, 8);
    std::vector<TestEntry> entries(count(*rng));
    for (TestEntry& entry : entries) {
        entry.wide = coin(rng);
        for (int i = length(*rng); i > 0; --i) entry.name.push_back(wchar_t(letter(*rng)));
        entry.position = coin(rng) ? position(*rng) : LONG(0x7fffffff - coin(rng));
        entry.trailing.resize(trailing(*rng));
        for (BYTE& b : entry.trailing) b = BYTE((*rng)());
    }
    return BuildRecord(entries, (*rng)());
}

void Mutate(std::vector<BYTE>* bytes, std::mt19937* rng) {
    if (bytes->size() < 20) return;
    std::vector<DWORD> offsets = WellFormedEntryOffsets(bytes->data(), bytes->size());
    std::uniform_int_distribution<int> kind(0, 6);
    auto pick = [&](size_t n) { return size_t((*rng)() % n); };
    const int k = kind(*rng);
    if (offsets.empty() && k != 1 && k != 4 && k != 5) return;  // the others change an entry
    switch (k) {
    case 0: {  // entrySize
        const DWORD sizes[] = {0, 1, 21, 22, 23, 0x7fffffff, 0xffffffff};
        DWORD at = offsets[pick(offsets.size())];
        DWORD value = coin(rng) ? sizes[pick(7)] : GetField(*bytes, at) + int(pick(7)) - 3;
        SetField(bytes, at, value);
        break;
    }
    case 1:  // entryCount
        SetField(bytes, 16, coin(rng) ? DWORD((*rng)()) : GetField(*bytes, 16) + 1 + pick(3));
        break;
    case 2:  // item flags
        (*bytes)[offsets[pick(offsets.size())] + 10] ^= 0x04;
        break;
    case 3: {  // terminators and the bytes after them
        DWORD at = offsets[pick(offsets.size())];
        DWORD end = at + GetField(*bytes, at);
        for (DWORD i = at + 22; i < end; ++i) {
            if ((*bytes)[i] == 0 && coin(rng)) (*bytes)[i] = BYTE(1 + pick(255));
        }
        break;
    }
    case 4:  // cut the tail off
        bytes->resize(20 + pick(bytes->size() - 19));
        break;
    case 5:  // stray bytes
        for (int i = 0; i < 3; ++i) (*bytes)[pick(bytes->size())] = BYTE((*rng)());
        break;
    default:  // odd trailing byte on the last entry
        SetField(bytes, offsets.back(), GetField(*bytes, offsets.back()) + 1);
        bytes->push_back(BYTE((*rng)()));
        break;
    }
}

TEST(MenuOrderWalk, GeneratedRecordsStayInsideTheirBytes) {
    GuardedBlock block;
    ASSERT_TRUE(block.ok()) << GetLastError();
    std::mt19937 rng(20261208);
    const wchar_t* names[] = {L"", L"A", L"!!", L"VIEW~LER.URL"};
    const int kRecords = 200000;
    int found = 0, moved = 0, cutShort = 0;
    for (int n = 0; n < kRecords; ++n) {
        std::vector<BYTE> original;
        if (n % 4 == 0) {
            original.resize(rng() % 200);
            for (BYTE& b : original) b = BYTE(rng());
            if (original.size() >= 20 && coin(&rng)) SetField(&original, 16, rng() % 4);
        } else {
            original = RandomValidRecord(&rng);
            for (int m = 1 + int(rng() % 3); m > 0; --m) Mutate(&original, &rng);
        }
        ASSERT_LE(original.size(), block.capacity());
        BYTE* at = block.Place(original);
        MenuOrderRecord record{at, DWORD(original.size())};
        std::vector<DWORD> accepted = WellFormedEntryOffsets(original.data(), original.size());
        if (original.size() >= 20 && accepted.size() < GetField(original, 16)) ++cutShort;

        // Search for a name the record holds, when it holds one, else a fixed one.
        std::wstring name = names[rng() % 4];
        if (!accepted.empty() && rng() % 4 != 0) {
            DWORD e = accepted[rng() % accepted.size()];
            bool wide = original[e + 10] & 0x04;
            for (DWORD i = e + 22; wide ? original[i] | original[i + 1] : original[i]; i += wide ? 2 : 1) {
                name.push_back(wide ? wchar_t(original[i] | (original[i + 1] << 8)) : wchar_t(original[i]));
            }
        }
        MenuOrderEntry entry{0xdeadbeef};
        if (FindMenuOrderEntry(&record, name.c_str(), &entry)) {
            ++found;
            ASSERT_NE(std::find(accepted.begin(), accepted.end(), entry.offset), accepted.end())
                << "record " << n << " offset " << entry.offset;
        } else {
            ASSERT_EQ(entry.offset, 0xdeadbeefu) << "record " << n;
            entry.offset = DWORD(rng() % (original.size() + 8));  // a stray one
        }
        LONG target = LONG(rng() % 4) - 1;
        bool listed = std::find(accepted.begin(), accepted.end(), entry.offset) != accepted.end();
        bool changed = MoveMenuOrderEntry(&record, &entry, target);
        if (changed) ++moved;
        ASSERT_TRUE(!changed || listed) << "record " << n;

        std::vector<BYTE> after(at, at + original.size());
        ASSERT_TRUE(SameOutsidePositions(original, after, accepted)) << "record " << n;
        // The same move done on the copy by the rules of the record.
        std::vector<BYTE> expected = original;
        if (listed && LONG(GetField(original, entry.offset + 4)) != target) {
            SetField(&expected, entry.offset + 4, DWORD(target));
            for (DWORD offset : accepted) {
                DWORD value = GetField(original, offset + 4);
                if (offset != entry.offset && LONG(value) >= target) SetField(&expected, offset + 4, value + 1);
            }
        }
        ASSERT_EQ(changed, expected != original) << "record " << n;
        ASSERT_EQ(after, expected) << "record " << n;
    }
    // The generator must reach both outcomes often.
    EXPECT_GT(found, kRecords / 16);
    EXPECT_GT(moved, kRecords / 16);
    EXPECT_GT(cutShort, kRecords / 4);
}

}  // namespace
