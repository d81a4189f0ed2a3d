#pragma once
#include <windows.h>

#include "common/Holders.h"

// Work on a thread of its own, for waits on things the installer does not control (a web
// server, the shell, a browser): the caller bounds the wait and can go on without it. The
// caller and the worker share one block, and whichever lets go last frees it, so a worker
// left behind never writes into memory the caller has freed. A worker that has been given
// up touches only its block and what it alone holds: it makes no call on anything the
// caller still uses.
struct WorkerBlock;
using WorkerProc = void (*)(WorkerBlock* block);

struct WorkerBlock {
    volatile LONG references;
    volatile LONG progress;  // a step begun since the caller last looked, or given up
    volatile LONG finished;  // the worker's result is in the block: 1 the first part's, 2 all
    UniqueHandle stepped;    // auto-reset: a step began or the work finished
    UniqueHandle resumed;    // manual-reset: the second part of work in two may begin
    WorkerProc work;
    DWORD apartment;         // COINIT_ flags of the worker's own apartment
};

// The shell answers for its window list, an open window or a notification within 2 s
// unless it is hung.
inline constexpr DWORD kShellCallBoundMs = 2000;

// A zeroed block of size bytes (a WorkerBlock and the work's own fields), held once by the
// caller; null when there is no memory. The block owns its events: they are closed when the
// last side lets go of it.
[[nodiscard]] WorkerBlock* NewWorkerBlock(SIZE_T size);

// Starts work on the block; false when no thread could be had (the block stays the caller's).
// Work may come in two parts: the worker finishes the first with FinishFirstPart and goes on
// once the caller has called ResumeWorker.
[[nodiscard]] bool StartWorker(WorkerBlock* block, WorkerProc work, DWORD apartment);

// Waits until the work finishes, dispatching this thread's messages meanwhile; gives the
// worker up when one of its steps takes longer than stepMs, or the whole wait longer than
// wholeMs. True when it finished in time.
[[nodiscard]] bool AwaitWorker(WorkerBlock* block, DWORD stepMs, DWORD wholeMs = INFINITE);

// True once any wait in this process was given up: its worker may still be inside a call
// into another process or a system DLL, holding whatever locks that call holds.
[[nodiscard]] bool AnyWorkerGivenUp();

// For the worker, before each call on the outside: may it make the call? False once it has
// been given up; otherwise the caller's bound on one step starts anew.
[[nodiscard]] bool BeginOutsideCall(WorkerBlock* block);

// For the worker: its result is in the block (a step of its own when more follows).
void FinishWork(WorkerBlock* block);

// For work in two parts: finishes the first, then waits until the caller resumes it, at
// most limitMs (a caller that never does must not keep the worker for ever).
void FinishFirstPart(WorkerBlock* block, DWORD limitMs);

// For the caller of work in two parts: lets the second begin; AwaitWorker then waits until
// it finishes, or returns at once when the worker went on by itself and has finished.
void ResumeWorker(WorkerBlock* block);

// Lets go of the block; the caller calls it once, after its last look at the block. Null
// does nothing.
void ReleaseWorker(WorkerBlock* block);

// The caller's reference to a worker's block of Work (a WorkerBlock and the work's own
// fields): a zeroed block of size bytes, or none when there is no memory, let go of once,
// when the holder is destroyed.
template <typename Work>
class WorkerRef {
public:
    explicit WorkerRef(SIZE_T size = sizeof(Work)) : work_(static_cast<Work*>(NewWorkerBlock(size))) {}
    ~WorkerRef() { ReleaseWorker(work_); }
    WorkerRef(const WorkerRef&) = delete;
    WorkerRef& operator=(const WorkerRef&) = delete;

    Work* Get() const { return work_; }
    Work* operator->() const { return work_; }
    explicit operator bool() const { return work_ != nullptr; }

private:
    Work* work_;
};
