#include "common/Holders.h"

void FreeProcessHeapBlock(void* block) { HeapFree(GetProcessHeap(), 0, block); }
