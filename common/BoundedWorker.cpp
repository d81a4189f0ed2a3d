#include "common/BoundedWorker.h"

#include <objbase.h>

#include <new>

#include "common/Holders.h"

namespace {

constexpr LONG kIdle = 0;
constexpr LONG kStepped = 1;
constexpr LONG kGivenUp = 2;

constexpr LONG kFirstPartFinished = 1;
constexpr LONG kFinished = 2;

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
    void* memory = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size);
    if (!memory) return nullptr;
    auto* block = new (memory) WorkerBlock;
    block->references = 1;
    return block;
}

bool StartWorker(WorkerBlock* block, WorkerProc work, DWORD apartment) {
    block->work = work;
    block->apartment = apartment;
    block->stepped.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    block->resumed.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!block->stepped || !block->resumed) return false;
    block->references = 2;
    // The worker runs on without its handle: nothing waits on the thread itself.
    UniqueHandle thread(CreateThread(nullptr, 0, &RunWorker, block, 0, nullptr));
    if (!thread) block->references = 1;
    return static_cast<bool>(thread);
}

bool AwaitWorker(WorkerBlock* block, DWORD stepMs, DWORD wholeMs) {
    const DWORD started = GetTickCount();
    while (!InterlockedCompareExchange(&block->finished, 0, 0)) {
        const DWORD spent = GetTickCount() - started;
        // Past the whole bound the worker is given up whether or not a step is under way:
        // it makes no further call, and the one it may be in is left behind.
        if (spent >= wholeMs) {
            InterlockedExchange(&block->progress, kGivenUp);
            if (InterlockedCompareExchange(&block->finished, 0, 0)) return true;
            InterlockedExchange(&g_givenUp, 1);
            return false;
        }
        const DWORD waitMs = wholeMs - spent < stepMs ? wholeMs - spent : stepMs;
        DWORD signalled = 0;
        HANDLE stepped = block->stepped.Get();
        HRESULT waited = CoWaitForMultipleHandles(0, waitMs, 1, &stepped, &signalled);
        // Given up only when a whole step went by and none began meanwhile: one that began
        // as the wait ran out still gets its full time.
        if (waited != S_OK && waitMs == stepMs &&
            InterlockedCompareExchange(&block->progress, kGivenUp, kIdle) == kIdle) {
            InterlockedExchange(&g_givenUp, 1);
            return false;
        }
        (void)InterlockedCompareExchange(&block->progress, kIdle, kStepped);
    }
    return true;
}

bool AnyWorkerGivenUp() { return InterlockedCompareExchange(&g_givenUp, 0, 0) != 0; }

bool BeginOutsideCall(WorkerBlock* block) {
    if (InterlockedCompareExchange(&block->progress, kStepped, kIdle) == kGivenUp) return false;
    SetEvent(block->stepped.Get());
    return true;
}

void FinishWork(WorkerBlock* block) {
    InterlockedExchange(&block->finished, kFinished);
    (void)BeginOutsideCall(block);
}

void FinishFirstPart(WorkerBlock* block, DWORD limitMs) {
    InterlockedExchange(&block->finished, kFirstPartFinished);
    (void)BeginOutsideCall(block);
    WaitForSingleObject(block->resumed.Get(), limitMs);
    // Going on, resumed or not: only the second part's finish may end a wait from now on.
    (void)InterlockedCompareExchange(&block->finished, 0, kFirstPartFinished);
}

void ResumeWorker(WorkerBlock* block) {
    // The first part's finish is cleared before the worker may go on, so that only its
    // second finish ends the next wait; a worker that went on by itself already cleared it,
    // or finished its second part, whose finish stays.
    (void)InterlockedCompareExchange(&block->finished, 0, kFirstPartFinished);
    SetEvent(block->resumed.Get());
}

void ReleaseWorker(WorkerBlock* block) {
    if (!block || InterlockedDecrement(&block->references) != 0) return;
    block->~WorkerBlock();
    FreeProcessHeapBlock(block);
}
