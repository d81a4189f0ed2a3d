#pragma once
#include <windows.h>

#include "common/BoundedWorker.h"

// A flushed change notification returns only once the shell has taken it, and on Windows
// the shell's own process delivers it: a hung shell (a stalled network drive is enough)
// would hold the caller for as long as it hangs. So each announcement goes out on a worker
// of its own and is waited for like any other call on the shell. A caller that gets false
// takes the shell to be hung and sends it nothing more.

// A worker's block for one announcement, with its own copy of the path: the caller's
// string may be gone before a worker that was given up is done.
struct AnnouncementWork : WorkerBlock {
    LONG event;
    wchar_t path[MAX_PATH];
};

// Runs announce on a worker with event and a copy of path (cut at MAX_PATH characters),
// and waits for it. The worker calls BeginOutsideCall before it waits on the shell. True when it
// finished in time; false when it was given up or no worker could be started.
[[nodiscard]] bool AnnounceOnWorker(WorkerProc announce, LONG event, const wchar_t* path);

// SHChangeNotify(event, SHCNF_PATHW | SHCNF_FLUSH, path, nullptr), bounded as above.
[[nodiscard]] bool AnnouncePathChange(LONG event, const wchar_t* path);
