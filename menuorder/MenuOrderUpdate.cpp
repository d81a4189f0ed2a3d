#include "menuorder/MenuOrderUpdate.h"

#include <shlobj.h>

#include "common/Holders.h"
#include "common/ShellPath.h"
#include "common/ShellAnnouncement.h"
#include "registry/RegistryKey.h"

namespace {

// A new record: headerSize 8, version 2, dataSize 12, reserved 0, entryCount 0.
bool NewEmptyRecord(StoredMenuOrder* order) {
    UniqueHeapBlock<BYTE> block(AllocateHeapBlock<BYTE>(kMenuOrderHeaderSize));
    if (!block) return false;
    BYTE* bytes = block.Get();
    WriteMenuOrderField(bytes + kMenuOrderHeaderSizeOffset, kMenuOrderHeaderSizeField);
    WriteMenuOrderField(bytes + kMenuOrderVersionOffset, kMenuOrderVersion);
    WriteMenuOrderField(bytes + kMenuOrderDataSizeOffset, MenuOrderDataSize(kMenuOrderHeaderSize));
    WriteMenuOrderField(bytes + kMenuOrderReservedOffset, 0);
    WriteMenuOrderField(bytes + kMenuOrderEntryCountOffset, 0);
    order->record = {bytes, kMenuOrderHeaderSize};
    order->block = std::move(block);
    return true;
}

bool ReadStoredRecord(RegistryKey* key, StoredMenuOrder* order) {
    DWORD size = 0;
    if (key->ReadBinary(kMenuOrderValueName, nullptr, &size) != ERROR_SUCCESS ||
        size < kMenuOrderHeaderSize) {
        return NewEmptyRecord(order);
    }
    UniqueHeapBlock<BYTE> block(AllocateHeapBlock<BYTE>(size));
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
    order->record = {block.Get(), read};
    order->block = std::move(block);
    return true;
}

// On a worker of its own: the folder's identifier list and the announcement touch nothing
// but the worker's block.
void AnnounceOrderChanged(WorkerBlock* block) {
    auto* work = static_cast<AnnouncementWork*>(block);
    {
        UniqueItemIdList folder(ILCreateFromPathW(work->path));
        // One item of 4 bytes holding SHCNEE_ORDERCHANGED; its upper half ends the list.
        const BYTE orderChanged[6] = {4, 0, SHCNEE_ORDERCHANGED, 0, 0, 0};
        if (folder && BeginOutsideCall(work)) {
            SHChangeNotify(work->event, SHCNF_IDLIST | SHCNF_FLUSH, orderChanged, folder.Get());
        }
    }
    FinishWork(work);
}

}  // namespace

bool LoadMenuOrder(StoredMenuOrder* order) {
    RegistryKey key;
    if (key.OpenKey(HKEY_CURRENT_USER, kMenuOrderKeyPath, KEY_READ) != ERROR_SUCCESS) {
        return false;
    }
    bool loaded = ReadStoredRecord(&key, order);
    (void)key.CloseKey();
    return loaded;
}

void SaveMenuOrder(const MenuOrderRecord* record) {
    if (!record->bytes || record->size < kMenuOrderHeaderSize ||
        ReadMenuOrderField(record->bytes + kMenuOrderDataSizeOffset) != MenuOrderDataSize(record->size)) {
        return;
    }
    RegistryKey key;
    // The flush needs KEY_QUERY_VALUE besides the write.
    if (key.OpenKey(HKEY_CURRENT_USER, kMenuOrderKeyPath, KEY_WRITE | KEY_QUERY_VALUE) != ERROR_SUCCESS) return;
    (void)RegSetValueExW(key.Get(), kMenuOrderValueName, 0, REG_BINARY, record->bytes,
                         record->size);
    (void)RegFlushKey(key.Get());
    (void)key.CloseKey();
}

bool SetShortcutPosition(MenuOrderRecord* record, const wchar_t* shortcutPath, LONG position) {
    if (!shortcutPath) return false;
    wchar_t name[MAX_PATH];
    // A result of MAX_PATH or more means the short form did not fit and nothing was written.
    DWORD length = GetShortPathNameW(shortcutPath, name, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    PathGetShortPath(name);
    if (!ShellPath::PathStripPathW(name)) return false;
    MenuOrderEntry entry;
    if (!FindMenuOrderEntry(record, name, &entry)) return false;
    return MoveMenuOrderEntry(record, &entry, position);
}

HRESULT PlaceShortcutsFirst(const wchar_t* savePath, const wchar_t* viewPath) {
    StoredMenuOrder order;
    if (!LoadMenuOrder(&order)) return S_OK;
    bool saveMoved = SetShortcutPosition(&order.record, savePath, 0);
    bool viewMoved = SetShortcutPosition(&order.record, viewPath, 1);
    if (saveMoved || viewMoved) SaveMenuOrder(&order.record);
    return S_OK;
}

bool NotifyOrderChanged(const wchar_t* folderPath) {
    return !folderPath || AnnounceOnWorker(&AnnounceOrderChanged, SHCNE_EXTENDED_EVENT, folderPath);
}
