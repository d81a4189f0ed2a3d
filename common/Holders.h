#pragma once
// One holder for every resource the installer frees: UniqueAny<Traits> owns at most one
// value and releases it once, when it goes or on Reset; Release hands it to the caller.
// A traits type per resource says how it is released and which value means none. A
// holder moves and is never copied. The release keeps the calling thread's last error, so
// a holder that goes between a failing call and its GetLastError cannot change it.
// COM interface pointers and VARIANTs have theirs in ComHolders.h.
#include <windows.h>
#include <shlobj.h>

#include <utility>

// The calling thread's last error as a failure; E_FAIL when a failing call left none, so
// that a failure can never read as S_OK.
[[nodiscard]] inline HRESULT LastErrorResult() {
    DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

template <typename Traits>
class UniqueAny {
public:
    using Type = typename Traits::Type;

    UniqueAny() = default;
    explicit UniqueAny(Type value) : value_(value) {}
    ~UniqueAny() { Free(value_); }
    UniqueAny(UniqueAny&& other) : value_(other.Release()) {}
    UniqueAny& operator=(UniqueAny&& other) {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;

    Type Get() const { return value_; }
    explicit operator bool() const { return Traits::IsValid(value_); }

    // Out-parameter for the call that hands one out; whatever was held is released first.
    Type* Put() {
        Reset();
        return &value_;
    }
    [[nodiscard]] Type Release() {
        Type value = value_;
        value_ = Traits::kNone;
        return value;
    }
    void Reset(Type value = Traits::kNone) {
        Type old = value_;
        value_ = value;
        Free(old);
    }

private:
    static void Free(Type value) {
        if (!Traits::IsValid(value)) return;
        DWORD error = GetLastError();
        Traits::Release(value);
        SetLastError(error);
    }

    Type value_ = Traits::kNone;
};

// Traits for a resource held as a pointer, whose only "none" is null.
template <typename T, void (*ReleaseFunction)(T)>
struct NullIsNoneTraits {
    using Type = T;
    static constexpr T kNone = nullptr;
    static bool IsValid(T value) { return value != nullptr; }
    static void Release(T value) { ReleaseFunction(value); }
};

// The platform's releases as functions of one argument and no result.
void FreeProcessHeapBlock(void* block);  // one copy for every block's holder
inline void CloseRegistryKey(HKEY key) { (void)RegCloseKey(key); }
inline void FreeItemIdList(PIDLIST_ABSOLUTE list) { ILFree(list); }

// A kernel handle: null and INVALID_HANDLE_VALUE both mean none, since the calls that hand
// one out fail with one or the other.
struct KernelHandleTraits {
    using Type = HANDLE;
    static constexpr HANDLE kNone = nullptr;
    static bool IsValid(HANDLE handle) { return handle && handle != INVALID_HANDLE_VALUE; }
    static void Release(HANDLE handle) { (void)CloseHandle(handle); }
};

// Traits for a block of memory of T, released by a function that takes any block.
template <typename T, void (*ReleaseFunction)(void*)>
struct MemoryBlockTraits {
    using Type = T*;
    static constexpr T* kNone = nullptr;
    static bool IsValid(T* block) { return block != nullptr; }
    static void Release(T* block) { ReleaseFunction(block); }
};

using UniqueHandle = UniqueAny<KernelHandleTraits>;
template <typename T>
using UniqueHeapBlock = UniqueAny<MemoryBlockTraits<T, FreeProcessHeapBlock>>;
using UniqueItemIdList = UniqueAny<NullIsNoneTraits<PIDLIST_ABSOLUTE, FreeItemIdList>>;
using UniqueRegistryKey = UniqueAny<NullIsNoneTraits<HKEY, CloseRegistryKey>>;

// A new block of the process heap for size bytes of T; null when there is no memory.
template <typename T>
[[nodiscard]] T* AllocateHeapBlock(SIZE_T size) {
    return static_cast<T*>(HeapAlloc(GetProcessHeap(), 0, size));
}
