#pragma once
// Holders that own exactly one kernel or shell resource each: a kernel handle, a block of
// the process heap, an item identifier list. Each releases what it owns once, in its
// destructor or on Reset; Release hands ownership to the caller. (COM resources have theirs
// in ComHolders.h.)
#include <windows.h>
#include <shlobj.h>

// The calling thread's last error as a failure; E_FAIL when a failing call left none, so
// that a failure can never read as S_OK.
[[nodiscard]] inline HRESULT LastErrorResult() {
    DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

// A kernel handle. Null and INVALID_HANDLE_VALUE both mean none: the calls that hand one
// out fail with one or the other.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    ~UniqueHandle() { Reset(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE Get() const { return handle_; }
    explicit operator bool() const { return handle_ && handle_ != INVALID_HANDLE_VALUE; }

    [[nodiscard]] HANDLE Release() {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    void Reset(HANDLE handle = nullptr) {
        if (*this) CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_ = nullptr;
};

// Frees a block of the process heap; nothing for null. One copy for every ProcessHeapPtr.
void FreeProcessHeapBlock(void* block);

// A block of the process heap, of T.
template <typename T>
class ProcessHeapPtr {
public:
    explicit ProcessHeapPtr(T* block = nullptr) : block_(block) {}
    ~ProcessHeapPtr() { FreeProcessHeapBlock(block_); }
    ProcessHeapPtr(const ProcessHeapPtr&) = delete;
    ProcessHeapPtr& operator=(const ProcessHeapPtr&) = delete;

    // A new block of size bytes; none when there is no memory.
    [[nodiscard]] static T* Allocate(SIZE_T size) { return static_cast<T*>(HeapAlloc(GetProcessHeap(), 0, size)); }

    T* Get() const { return block_; }
    explicit operator bool() const { return block_ != nullptr; }

    [[nodiscard]] T* Release() {
        T* block = block_;
        block_ = nullptr;
        return block;
    }

private:
    T* block_;
};

// An absolute item identifier list from the shell.
class ItemIdList {
public:
    explicit ItemIdList(PIDLIST_ABSOLUTE list) : list_(list) {}
    ~ItemIdList() {
        if (list_) ILFree(list_);
    }
    ItemIdList(const ItemIdList&) = delete;
    ItemIdList& operator=(const ItemIdList&) = delete;

    PIDLIST_ABSOLUTE Get() const { return list_; }
    explicit operator bool() const { return list_ != nullptr; }

private:
    PIDLIST_ABSOLUTE list_;
};
