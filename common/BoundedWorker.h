#pragma once
#include <windows.h>

// Work on a thread of its own, for waits on things the installer does not control (a web
// server, the shell, a browser): the caller bounds the wait and can go on without it. The
// caller and the worker share one block, and whichever lets go last frees it, so a worker
// left behind never writes into memory the caller has freed. A worker that has been given
// up makes no further call but to release what it holds, and touches only its block.
struct WorkerBlock;
using WorkerProc = void (*)(WorkerBlock* block);

struct WorkerBlock {
    volatile LONG references;
    volatile LONG progress;  // a step begun since the caller last looked, or given up
    volatile LONG finished;  // the worker's result is in the block
    HANDLE stepped;          // auto-reset: a step began or the work finished
    WorkerProc work;
    DWORD apartment;         // COINIT_ flags of the worker's own apartment
};

// A zeroed block of size bytes (a WorkerBlock and the work's own fields), held once by the
// caller; null when there is no memory.
[[nodiscard]] WorkerBlock* NewWorkerBlock(SIZE_T size);

// Starts work on the block; false when no thread could be had (the block stays the caller's).
[[nodiscard]] bool StartWorker(WorkerBlock* block, WorkerProc work, DWORD apartment);

// Waits until the work finishes, dispatching this thread's messages meanwhile; gives the
// worker up when one of its steps takes longer than stepMs. True when it finished in time.
[[nodiscard]] bool AwaitWorker(WorkerBlock* block, DWORD stepMs);

// For the worker, before each wait on the outside: false once it has been given up.
[[nodiscard]] bool BeginStep(WorkerBlock* block);

// For the worker: its result is in the block (a step of its own when more follows).
void FinishWork(WorkerBlock* block);

// Lets go of the block; the caller calls it once, after its last look at the block.
void ReleaseWorker(WorkerBlock* block);
