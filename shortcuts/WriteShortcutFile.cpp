#include "shortcuts/WriteShortcutFile.h"

#include "common/Holders.h"
#include "shortcuts/HeldFile.h"

namespace {

constexpr wchar_t kTempPrefix[] = L"url";
constexpr DWORD kCopyFlags = MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH;
constexpr DWORD kRenameFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
// GetTempFileNameW takes a folder of at most MAX_PATH - 14 characters, leaving room for
// "url", four hexadecimal digits, ".tmp" and the terminator.
constexpr DWORD kTempNameRoom = 14;

// Writes size bytes into the file at path, made anew, and flushes them; on a failure part
// of them may be in it. A scanner that opened the new file to read it does not stop the
// open, nor one that opens it meanwhile.
HRESULT WriteWholeFile(const wchar_t* path, const void* bytes, DWORD size) {
    UniqueHandle file;
    HRESULT hr = RetryWhileHeld(
        [&] {
            file.Reset(CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
            return file ? S_OK : LastErrorResult();
        },
        IsHeldByAnother);
    if (FAILED(hr)) return hr;
    DWORD written = 0;
    if (!WriteFile(file.Get(), bytes, size, &written, nullptr)) return LastErrorResult();
    if (written != size) return HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
    if (!FlushFileBuffers(file.Get())) return LastErrorResult();
    return S_OK;
}

// Renames a file over the target on one volume. A file another process holds open refuses
// to be replaced with access denied too.
HRESULT RenameOver(const wchar_t* from, const wchar_t* targetPath) {
    return RetryWhileHeld([&] { return MoveFileExW(from, targetPath, kRenameFlags) ? S_OK : LastErrorResult(); },
                          [](HRESULT hr) { return IsHeldByAnother(hr) || hr == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED); });
}

// Which file a name stands for: once that file is gone, the name may be given to another.
struct FileIdentity {
    DWORD volume;
    DWORD indexHigh;
    DWORD indexLow;
};

// Opens path into file for its attributes only, letting others read, write and delete it
// meanwhile, and reads which file it is; false when either fails.
bool IdentifyFile(const wchar_t* path, UniqueHandle* file, FileIdentity* identity) {
    file->Reset(CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION information;
    if (!*file || !GetFileInformationByHandle(file->Get(), &information)) return false;
    *identity = {information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow};
    return true;
}

// A file of this run's, by name, deleted when the holder goes unless let go first. After a
// move that copies, which reports success even when a scanner kept it from deleting its
// source, the name may stand for another run's file: once identified, it is deleted only
// while it still stands for the file identified.
class OwnedFile {
public:
    OwnedFile() = default;
    explicit OwnedFile(const wchar_t* path) : path_(path) {}
    ~OwnedFile() {
        if (!path_) return;
        // Held until the name is deleted, so that it cannot be given to another file between
        // the check and the delete.
        UniqueHandle file;
        FileIdentity found;
        if (identified_ && !(IdentifyFile(path_, &file, &found) && found.volume == identity_.volume &&
                             found.indexHigh == identity_.indexHigh && found.indexLow == identity_.indexLow))
            return;
        DeleteFileW(path_);
    }
    OwnedFile(const OwnedFile&) = delete;
    OwnedFile& operator=(const OwnedFile&) = delete;

    void Own(const wchar_t* path) { path_ = path; }
    void LetGo() { path_ = nullptr; }
    // False when the file cannot be identified; it is then left alone once it may have moved.
    bool Identify() {
        UniqueHandle file;
        identified_ = IdentifyFile(path_, &file, &identity_);
        return identified_;
    }

private:
    const wchar_t* path_ = nullptr;
    bool identified_ = false;
    FileIdentity identity_;
};

// The target is on another volume than the temporary file. A move there is a copy, and a
// copy that fails part way (a full disk) would leave the target cut short: so the file is
// first copied to a name of its own beside the target, and only a complete copy is renamed
// over it. The browsers and the shell watch that folder, so the copy is hidden until then.
HRESULT StageBeside(OwnedFile* temp, const wchar_t* tempPath, UINT unique, const wchar_t* targetPath) {
    DWORD folderLength = 0;
    for (DWORD i = 0; targetPath[i]; ++i) {
        if (targetPath[i] == L'\\') folderLength = i;
    }
    if (!folderLength || folderLength > MAX_PATH - kTempNameRoom) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    wchar_t staged[MAX_PATH];
    lstrcpynW(staged, targetPath, folderLength + 1);
    // Named with the temporary file's own number (no file is made for it here), so that no
    // other run of ours uses it; the copy makes the file, hidden like its source.
    if (!GetTempFileNameW(staged, kTempPrefix, unique, staged)) return LastErrorResult();
    if (!SetFileAttributesW(tempPath, FILE_ATTRIBUTE_HIDDEN)) return LastErrorResult();
    const bool identified = temp->Identify();
    OwnedFile copy;
    if (!MoveFileExW(tempPath, staged, kCopyFlags)) {
        // A name already taken is someone else's file; otherwise part of our copy may be
        // left under it.
        DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) copy.Own(staged);
        return HRESULT_FROM_WIN32(error);
    }
    // The temporary name is ours only while it stands for the file identified; the staged
    // one is ours until the rename.
    if (!identified) temp->LetGo();
    copy.Own(staged);
    HRESULT result = RenameOver(staged, targetPath);
    if (FAILED(result)) return result;
    copy.LetGo();
    if (!SetFileAttributesW(targetPath, FILE_ATTRIBUTE_NORMAL)) return LastErrorResult();
    return S_OK;
}

}  // namespace

HRESULT WriteShortcutFile(const wchar_t* targetPath, WORD templateId) {
    if (!targetPath) return E_INVALIDARG;

    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(templateId), MAKEINTRESOURCEW(kShortcutTemplateType));
    if (!found) return LastErrorResult();
    // No template is empty: a size of 0 is the lookup failing, and writing it would empty
    // the shortcut.
    DWORD size = SizeofResource(module, found);
    HGLOBAL loaded = LoadResource(module, found);
    if (!size || !loaded) return LastErrorResult();
    const void* bytes = LockResource(loaded);
    if (!bytes) return LastErrorResult();

    // GetTempPathW returns the length it needs when the buffer is too small and leaves the
    // buffer undefined; such a folder is refused before a file name is made from it.
    wchar_t tempPath[MAX_PATH];
    DWORD tempLength = GetTempPathW(MAX_PATH, tempPath);
    if (tempLength == 0) return LastErrorResult();
    if (tempLength > MAX_PATH - kTempNameRoom) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    UINT unique = GetTempFileNameW(tempPath, kTempPrefix, 0, tempPath);
    if (!unique) return LastErrorResult();
    OwnedFile temp(tempPath);

    // Only a complete, flushed copy may replace the target; anything less is deleted.
    HRESULT result = WriteWholeFile(tempPath, bytes, size);
    if (FAILED(result)) return result;
    // On one volume the move is a rename, which cannot cut the target short.
    result = RenameOver(tempPath, targetPath);
    if (result == HRESULT_FROM_WIN32(ERROR_NOT_SAME_DEVICE)) return StageBeside(&temp, tempPath, unique, targetPath);
    // Once our file has moved away, another installer may have been given the same name.
    if (SUCCEEDED(result)) temp.LetGo();
    return result;
}
