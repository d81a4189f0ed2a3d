#include "common/BoundedWorker.h"

#include <objbase.h>

namespace {

constexpr LONG kIdle = 0;
constexpr LONG kStepped = 1;
constexpr LONG kGivenUp = 2;

volatile LONG g_givenUp;

DWORD WINAPI RunWorker(void* parameter) {
    auto* block = static_cast<WorkerBlock*>(parameter);
    HRESULT initialized = CoInitializeEx(nullptr, block->apartment);
    block->work(block);
    if (SUCCEEDED(initialized)) CoUninitialize();
    ReleaseWorker(block);
    return 0;
}

}  // namespace

WorkerBlock* NewWorkerBlock(SIZE_T size) {
    auto* block = static_cast<WorkerBlock*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size));
    if (block) block->references = 1;
    return block;
}

bool StartWorker(WorkerBlock* block, WorkerProc work, DWORD apartment) {
    block->work = work;
    block->apartment = apartment;
    block->stepped = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!block->stepped) return false;
    block->references = 2;
    HANDLE thread = CreateThread(nullptr, 0, &RunWorker, block, 0, nullptr);
    if (!thread) {
        block->references = 1;
        return false;
    }
    CloseHandle(thread);
    return true;
}

bool AwaitWorker(WorkerBlock* block, DWORD stepMs) {
    while (!block->finished) {
        DWORD signalled = 0;
        HRESULT waited = CoWaitForMultipleHandles(0, stepMs, 1, &block->stepped, &signalled);
        // Given up only when no step began meanwhile: one that began as the wait ran out
        // still gets its full time.
        if (waited != S_OK && InterlockedCompareExchange(&block->progress, kGivenUp, kIdle) == kIdle) {
            InterlockedExchange(&g_givenUp, 1);
            return false;
        }
        (void)InterlockedCompareExchange(&block->progress, kIdle, kStepped);
    }
    return true;
}

bool AnyWorkerGivenUp() { return InterlockedCompareExchange(&g_givenUp, 0, 0) != 0; }

bool BeginStep(WorkerBlock* block) {
    if (InterlockedCompareExchange(&block->progress, kStepped, kIdle) == kGivenUp) return false;
    SetEvent(block->stepped);
    return true;
}

void FinishWork(WorkerBlock* block) {
    block->finished = 1;
    (void)BeginStep(block);
}

void ReleaseWorker(WorkerBlock* block) {
    if (InterlockedDecrement(&block->references) != 0) return;
    if (block->stepped) CloseHandle(block->stepped);
    HeapFree(GetProcessHeap(), 0, block);
}
