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
// when the named folder is missing) and fills LinkPaths.
[[nodiscard]] HRESULT ResolveLinkPaths();

// Returns each present buffer to the process heap (folder, view, save) and clears it.
void FreeLinkPaths();
