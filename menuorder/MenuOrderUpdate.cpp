#include "menuorder/MenuOrderUpdate.h"

#include <shlobj.h>

#include "common/Holders.h"
#include "common/ShellPath.h"
#include "common/ShellAnnouncement.h"
#include "registry/RegistryKey.h"

namespace {

// A new record: headerSize 8, version 2, dataSize 12, reserved 0, entryCount 0.
bool NewEmptyRecord(MenuOrderRecord* record) {
    BYTE* block = ProcessHeapPtr<BYTE>::Allocate(kMenuOrderHeaderSize);
    if (!block) return false;
    WriteMenuOrderField(block + kMenuOrderHeaderSizeOffset, kMenuOrderHeaderSizeField);
    WriteMenuOrderField(block + kMenuOrderVersionOffset, kMenuOrderVersion);
    WriteMenuOrderField(block + kMenuOrderDataSizeOffset, MenuOrderDataSize(kMenuOrderHeaderSize));
    WriteMenuOrderField(block + kMenuOrderReservedOffset, 0);
    WriteMenuOrderField(block + kMenuOrderEntryCountOffset, 0);
    record->bytes = block;
    record->size = kMenuOrderHeaderSize;
    return true;
}

bool ReadStoredRecord(RegistryKey* key, MenuOrderRecord* record) {
    DWORD size = 0;
    if (key->ReadBinary(kMenuOrderValueName, nullptr, &size) != ERROR_SUCCESS ||
        size < kMenuOrderHeaderSize) {
        return NewEmptyRecord(record);
    }
    ProcessHeapPtr<BYTE> block(ProcessHeapPtr<BYTE>::Allocate(size));
    if (!block) return false;
    DWORD read = size;
    // The value may have changed between the two reads: what counts is what was read now.
    if (key->ReadBinary(kMenuOrderValueName, block.Get(), &read) != ERROR_SUCCESS ||
        read < kMenuOrderHeaderSize || read > size ||
        ReadMenuOrderField(block.Get() + kMenuOrderHeaderSizeOffset) != kMenuOrderHeaderSizeField ||
        ReadMenuOrderField(block.Get() + kMenuOrderVersionOffset) != kMenuOrderVersion ||
        ReadMenuOrderField(block.Get() + kMenuOrderDataSizeOffset) != MenuOrderDataSize(read)) {
        return false;
    }
    record->bytes = block.Release();
    record->size = read;
    return true;
}

// On a worker of its own: the folder's identifier list and the announcement touch nothing
// but the worker's block.
void AnnounceOrderChanged(WorkerBlock* block) {
    auto* work = static_cast<AnnouncementWork*>(block);
    {
        ItemIdList folder(ILCreateFromPathW(work->path));
        // One item of 4 bytes holding SHCNEE_ORDERCHANGED; its upper half ends the list.
        const BYTE orderChanged[6] = {4, 0, SHCNEE_ORDERCHANGED, 0, 0, 0};
        if (folder && BeginOutsideCall(work)) {
            SHChangeNotify(work->event, SHCNF_IDLIST | SHCNF_FLUSH, orderChanged, folder.Get());
        }
    }
    FinishWork(work);
}

}  // namespace

bool LoadMenuOrder(MenuOrderRecord* record) {
    RegistryKey key;
    if (key.OpenKey(HKEY_CURRENT_USER, kMenuOrderKeyPath, KEY_READ) != ERROR_SUCCESS) {
        return false;
    }
    bool loaded = ReadStoredRecord(&key, record);
    (void)key.CloseKey();
    return loaded;
}

void FreeMenuOrder(MenuOrderRecord* record) {
    ProcessHeapPtr<BYTE> bytes(record->bytes);
    record->bytes = nullptr;
    record->size = 0;
}

void SaveMenuOrder(const MenuOrderRecord* record) {
    if (!record->bytes || record->size < kMenuOrderHeaderSize ||
        ReadMenuOrderField(record->bytes + kMenuOrderDataSizeOffset) != MenuOrderDataSize(record->size)) {
        return;
    }
    RegistryKey key;
    // The flush needs KEY_QUERY_VALUE besides the write.
    if (key.OpenKey(HKEY_CURRENT_USER, kMenuOrderKeyPath, KEY_WRITE | KEY_QUERY_VALUE) != ERROR_SUCCESS) return;
    (void)RegSetValueExW(key.handle(), kMenuOrderValueName, 0, REG_BINARY, record->bytes,
                         record->size);
    (void)RegFlushKey(key.handle());
    (void)key.CloseKey();
}

bool SetShortcutPosition(MenuOrderRecord* record, const wchar_t* shortcutPath, LONG position) {
    if (!shortcutPath) return false;
    wchar_t name[MAX_PATH];
    lstrcpynW(name, shortcutPath, MAX_PATH);
    // A result of MAX_PATH or more means the short form did not fit and nothing was written.
    DWORD length = GetShortPathNameW(name, name, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    PathGetShortPath(name);
    if (!ShellPath::PathStripPathW(name)) return false;
    MenuOrderEntry entry;
    if (!FindMenuOrderEntry(record, name, &entry)) return false;
    return MoveMenuOrderEntry(record, &entry, position);
}

HRESULT PlaceShortcutsFirst(const wchar_t* savePath, const wchar_t* viewPath) {
    MenuOrderRecord record{nullptr, 0};
    if (!LoadMenuOrder(&record)) return S_OK;
    bool saveMoved = SetShortcutPosition(&record, savePath, 0);
    bool viewMoved = SetShortcutPosition(&record, viewPath, 1);
    if (saveMoved || viewMoved) SaveMenuOrder(&record);
    FreeMenuOrder(&record);
    return S_OK;
}

bool NotifyOrderChanged(const wchar_t* folderPath) {
    return !folderPath || AnnounceOnWorker(&AnnounceOrderChanged, SHCNE_EXTENDED_EVENT, folderPath);
}
