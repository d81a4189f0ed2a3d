#include "common/Holders.h"

void FreeProcessHeapBlock(void* block) {
    if (block) HeapFree(GetProcessHeap(), 0, block);
}
