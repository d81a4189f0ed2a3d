#include "menuorder/MenuOrderRecord.h"

#include "common/Holders.h"

namespace {

// Longest ANSI name, terminator included, that is converted for a comparison.
constexpr DWORD kMaxConvertedName = 0x3FFFFFFF;
// Converted names up to this length (terminator included) need no heap block.
constexpr DWORD kNameOnStack = MAX_PATH;

// One entry the walk accepted: it lies wholly inside the block and holds its terminator.
struct EntryView {
    DWORD offset;
    bool wide;
    DWORD nameLength;  // characters (UTF-16) or bytes (ANSI), terminator excluded
};

struct EntryWalk {
    const BYTE* bytes;
    DWORD size;
    DWORD left;    // entries still to visit by entryCount
    DWORD offset;  // start of the next entry
};

EntryWalk BeginWalk(const MenuOrderRecord* record) {
    EntryWalk walk{record->bytes, record->size, 0, kMenuOrderHeaderSize};
    if (record->bytes && record->size >= kMenuOrderHeaderSize) {
        walk.left = ReadMenuOrderField(record->bytes + kMenuOrderEntryCountOffset);
    }
    return walk;
}

// The next entry in stored order; false after the last one by entryCount, or at the first
// malformed one, and false on every later call.
bool NextEntry(EntryWalk* walk, EntryView* view) {
    DWORD left = walk->left;
    if (left == 0) return false;
    walk->left = 0;  // restored below only for a well-formed entry
    DWORD offset = walk->offset;
    if (offset > walk->size || walk->size - offset < kMenuOrderEntryNameOffset) return false;
    const BYTE* entry = walk->bytes + offset;
    DWORD entrySize = ReadMenuOrderField(entry + kMenuOrderEntrySizeOffset);
    if (entrySize < kMenuOrderEntryNameOffset || entrySize > walk->size - offset) return false;

    bool wide = (entry[kMenuOrderEntryFlagsOffset] & kMenuOrderNameIsWide) != 0;
    DWORD at = kMenuOrderEntryNameOffset;
    if (wide) {
        while (entrySize - at >= 2 && (entry[at] | entry[at + 1]) != 0) at += 2;
        if (entrySize - at < 2) return false;
        view->nameLength = (at - kMenuOrderEntryNameOffset) / 2;
    } else {
        while (at < entrySize && entry[at] != 0) ++at;
        if (at == entrySize) return false;
        view->nameLength = at - kMenuOrderEntryNameOffset;
    }
    view->offset = offset;
    view->wide = wide;
    walk->offset = offset + entrySize;
    walk->left = left - 1;
    return true;
}

// Names are compared from a properly aligned, terminated UTF-16 copy unless the stored
// UTF-16 name is already aligned. A name that cannot be converted matches nothing.
bool NameEquals(const BYTE* entry, const EntryView& view, const wchar_t* fileName) {
    const BYTE* name = entry + kMenuOrderEntryNameOffset;
    if (view.wide && (reinterpret_cast<ULONG_PTR>(name) & 1) == 0) {
        return lstrcmpiW(reinterpret_cast<const wchar_t*>(name), fileName) == 0;
    }
    if (!view.wide && view.nameLength + 1 > kMaxConvertedName) return false;

    DWORD capacity = view.nameLength + 1;
    wchar_t onStack[kNameOnStack];
    const bool large = capacity > kNameOnStack;
    UniqueHeapBlock<wchar_t> onHeap(large ? AllocateHeapBlock<wchar_t>(static_cast<SIZE_T>(capacity) * 2)
                                           : nullptr);
    wchar_t* buffer = large ? onHeap.Get() : onStack;
    if (!buffer) return false;
    bool converted = true;
    if (view.wide) {
        for (DWORD i = 0; i < capacity; ++i) {
            buffer[i] = static_cast<wchar_t>(name[2 * i] | (name[2 * i + 1] << 8));
        }
    } else {
        converted = MultiByteToWideChar(CP_THREAD_ACP, 0, reinterpret_cast<const char*>(name),
                                        static_cast<int>(capacity), buffer,
                                        static_cast<int>(capacity)) != 0;
    }
    return converted && lstrcmpiW(buffer, fileName) == 0;
}

}  // namespace

bool FindMenuOrderEntry(const MenuOrderRecord* record, const wchar_t* fileName,
                        MenuOrderEntry* entry) {
    if (!record || !fileName || !entry) return false;
    EntryWalk walk = BeginWalk(record);
    EntryView view;
    while (NextEntry(&walk, &view)) {
        if (NameEquals(record->bytes + view.offset, view, fileName)) {
            entry->offset = view.offset;
            return true;
        }
    }
    return false;
}

bool MoveMenuOrderEntry(MenuOrderRecord* record, const MenuOrderEntry* entry,
                        LONG newPosition) {
    if (!record || !entry) return false;

    // Only an entry the walk reaches is touched, so a stray offset cannot write anywhere.
    EntryWalk walk = BeginWalk(record);
    EntryView view;
    bool listed = false;
    while (NextEntry(&walk, &view)) {
        if (view.offset == entry->offset) {
            listed = true;
            break;
        }
    }
    if (!listed) return false;
    BYTE* moved = record->bytes + entry->offset + kMenuOrderEntryPositionOffset;
    if (static_cast<LONG>(ReadMenuOrderField(moved)) == newPosition) return false;
    WriteMenuOrderField(moved, static_cast<DWORD>(newPosition));

    walk = BeginWalk(record);
    while (NextEntry(&walk, &view)) {
        if (view.offset == entry->offset) continue;
        BYTE* position = record->bytes + view.offset + kMenuOrderEntryPositionOffset;
        DWORD value = ReadMenuOrderField(position);
        if (static_cast<LONG>(value) >= newPosition) WriteMenuOrderField(position, value + 1u);
    }
    return true;
}
