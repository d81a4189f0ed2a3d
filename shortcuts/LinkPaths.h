#pragma once
#include <windows.h>

#include "common/BoundedWorker.h"

// The Links folder and the two shortcut paths, shared by the stages of one run. Each buffer
// holds MAX_PATH characters and comes from the process heap; each is null until allocated.
// A run's LinkPathsOwner returns them (FreeLinkPaths).
struct LinkPathBuffers {
    wchar_t* folder;
    wchar_t* view;
    wchar_t* save;
};
extern LinkPathBuffers LinkPaths;

// Finds the Links folder (honouring the toolbar's LinksFolderName, creating Favorites\Links
// when the named folder is missing) and fills LinkPaths; paths of an earlier call are
// released first. A shortcut path that would not fit in MAX_PATH characters is refused
// with HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE), never cut short. On failure the
// buffers allocated so far stay for FreeLinkPaths; their content is not to be used.
[[nodiscard]] HRESULT ResolveLinkPaths();

// Returns each present buffer to the process heap (folder, view, save) and clears it.
void FreeLinkPaths();

// The owner of one run's LinkPaths: frees them when it goes, except once a wait was given
// up. Then the process ends right after the box, and nothing is freed beside a worker that
// may be inside a system call holding the heap's lock.
class LinkPathsOwner {
public:
    LinkPathsOwner() = default;
    ~LinkPathsOwner() {
        if (!AnyWorkerGivenUp()) FreeLinkPaths();
    }
    LinkPathsOwner(const LinkPathsOwner&) = delete;
    LinkPathsOwner& operator=(const LinkPathsOwner&) = delete;
};
