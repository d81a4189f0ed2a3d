#include "common/ShellAnnouncement.h"

#include <shlobj.h>

namespace {

void AnnouncePath(WorkerBlock* block) {
    auto* work = static_cast<AnnouncementWork*>(block);
    if (BeginOutsideCall(work)) SHChangeNotify(work->event, SHCNF_PATHW | SHCNF_FLUSH, work->path, nullptr);
    FinishWork(work);
}

}  // namespace

bool AnnounceOnWorker(WorkerProc announce, LONG event, const wchar_t* path) {
    WorkerRef<AnnouncementWork> work;
    if (!work) return false;
    work->event = event;
    lstrcpynW(work->path, path, MAX_PATH);
    // In the multithreaded apartment the worker needs no message loop of its own.
    return StartWorker(work.Get(), announce, COINIT_MULTITHREADED) && AwaitWorker(work.Get(), kShellCallBoundMs);
}

bool AnnouncePathChange(LONG event, const wchar_t* path) {
    return AnnounceOnWorker(&AnnouncePath, event, path);
}
