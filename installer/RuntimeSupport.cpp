// The few routines the compiler may call on its own when there is no C runtime.
// The loops are volatile so that GCC cannot recognise them and call these functions
// from inside themselves.
#include <stddef.h>

extern "C" {

void* memset(void* dest, int value, size_t count) {
    volatile unsigned char* d = static_cast<unsigned char*>(dest);
    while (count--) *d++ = static_cast<unsigned char>(value);
    return dest;
}

void* memcpy(void* dest, const void* src, size_t count) {
    volatile unsigned char* d = static_cast<unsigned char*>(dest);
    const unsigned char* s = static_cast<const unsigned char*>(src);
    while (count--) *d++ = *s++;
    return dest;
}

void* memmove(void* dest, const void* src, size_t count) {
    volatile unsigned char* d = static_cast<unsigned char*>(dest);
    const unsigned char* s = static_cast<const unsigned char*>(src);
    if (d < s) {
        while (count--) *d++ = *s++;
    } else {
        while (count--) d[count] = s[count];
    }
    return dest;
}

int memcmp(const void* a, const void* b, size_t count) {
    const volatile unsigned char* x = static_cast<const unsigned char*>(a);
    const volatile unsigned char* y = static_cast<const unsigned char*>(b);
    for (; count; --count, ++x, ++y) {
        if (*x != *y) return *x < *y ? -1 : 1;
    }
    return 0;
}

}  // extern "C"
