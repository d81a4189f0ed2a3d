#include "shortcuts/WriteShortcutFile.h"

namespace {

constexpr wchar_t kTempPrefix[] = L"url";
constexpr DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH;
constexpr DWORD kRenameFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
constexpr DWORD kReplaceAttempts = 20;
constexpr DWORD kReplacePauseMs = 50;
// GetTempFileNameW takes a folder of at most MAX_PATH - 14 characters, leaving room for
// "url", four hexadecimal digits, ".tmp" and the terminator.
constexpr DWORD kTempNameRoom = 14;

// The calling thread's last error as a failure; E_FAIL when a failing call left none, so
// that a failure can never read as S_OK.
HRESULT LastErrorResult() {
    DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

// Puts the finished temporary file in place of the target. A move to another volume is a
// copy, and a copy that fails part way (a full disk) would leave the target cut short: so
// the file first goes to a name of its own in the target's folder, and only a complete
// copy there is renamed over the target, on the same volume.
HRESULT ReplaceTarget(const wchar_t* tempPath, const wchar_t* targetPath) {
    wchar_t staged[MAX_PATH];
    DWORD folderLength = 0;
    for (DWORD i = 0; targetPath[i]; ++i) {
        if (targetPath[i] == L'\\') folderLength = i;
    }
    if (folderLength == 0 || folderLength > MAX_PATH - kTempNameRoom) {
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    }
    for (DWORD i = 0; i < folderLength; ++i) staged[i] = targetPath[i];
    staged[folderLength] = L'\0';
    if (!GetTempFileNameW(staged, kTempPrefix, 0, staged)) return LastErrorResult();

    HRESULT result = S_OK;
    if (!MoveFileExW(tempPath, staged, kMoveFlags)) {
        result = LastErrorResult();
    } else {
        // A second installer started at the same moment may be reading the old target; while
        // it holds the file open the replace is refused, so it is tried again for a second.
        for (DWORD attempt = 0; !MoveFileExW(staged, targetPath, kRenameFlags); ++attempt) {
            DWORD error = GetLastError();
            if (attempt == kReplaceAttempts || (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION)) {
                result = HRESULT_FROM_WIN32(error);
                break;
            }
            Sleep(kReplacePauseMs);
        }
    }
    // After the rename there is nothing left at the staged name; otherwise this removes it.
    DeleteFileW(staged);
    return result;
}

}  // namespace

HRESULT WriteShortcutFile(const wchar_t* targetPath, WORD templateId) {
    if (!targetPath) return E_INVALIDARG;

    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(templateId), MAKEINTRESOURCEW(kShortcutTemplateType));
    if (!found) return LastErrorResult();
    DWORD size = SizeofResource(module, found);
    HGLOBAL loaded = LoadResource(module, found);
    if (!loaded) return LastErrorResult();
    const void* bytes = LockResource(loaded);
    if (!bytes) return LastErrorResult();

    HRESULT result = S_OK;

    // GetTempPathW returns the length it needs when the buffer is too small and leaves the
    // buffer undefined; such a folder is refused before a file name is made from it.
    wchar_t tempPath[MAX_PATH];
    DWORD tempLength = GetTempPathW(MAX_PATH, tempPath);
    if (tempLength == 0) return LastErrorResult();
    if (tempLength > MAX_PATH - kTempNameRoom) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    if (!GetTempFileNameW(tempPath, kTempPrefix, 0, tempPath)) return LastErrorResult();

    HANDLE file = CreateFileW(tempPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == nullptr || file == INVALID_HANDLE_VALUE) {
        result = LastErrorResult();
    } else {
        // Only a complete, flushed copy may replace the target; anything less is deleted.
        DWORD written = 0;
        if (!WriteFile(file, bytes, size, &written, nullptr)) {
            result = LastErrorResult();
        } else if (written != size) {
            result = HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
        } else if (!FlushFileBuffers(file)) {
            result = LastErrorResult();
        }
        CloseHandle(file);
        if (SUCCEEDED(result)) result = ReplaceTarget(tempPath, targetPath);
    }

    // After a move there is nothing left at the temporary name; otherwise this removes it.
    DeleteFileW(tempPath);
    return result;
}
