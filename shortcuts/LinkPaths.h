#pragma once
#include <windows.h>

// The Links folder and the two shortcut paths, shared by the stages of one run. Each buffer
// holds MAX_PATH characters and comes from the process heap; each is null until allocated.
struct LinkPathBuffers {
    wchar_t* folder;
    wchar_t* view;
    wchar_t* save;
};
extern LinkPathBuffers LinkPaths;

inline constexpr wchar_t kViewShortcutName[] = L"View Drovs";
inline constexpr wchar_t kSaveShortcutName[] = L"+ Save It For Later";
inline constexpr wchar_t kShortcutExtension[] = L".url";

// Finds the Links folder (honouring the toolbar's LinksFolderName, creating Favorites\Links
// when the named folder is missing) and fills LinkPaths; paths of an earlier call are
// released first. A shortcut path that would not fit in MAX_PATH characters is refused
// with HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE), never cut short. On failure the
// buffers allocated so far stay for FreeLinkPaths; their content is not to be used.
[[nodiscard]] HRESULT ResolveLinkPaths();

// Returns each present buffer to the process heap (folder, view, save) and clears it.
void FreeLinkPaths();
