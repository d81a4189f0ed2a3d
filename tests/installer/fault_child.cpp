// Raises the message text's faults on request; its exit code is what the parent checks.
#include <windows.h>
#include <string.h>

#include "installer/MessageText.h"

int main(int argc, char** argv) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    if (argc < 2) return 2;
    if (!strcmp(argv[1], "copy-too-small")) {
        wchar_t small[2];
        CheckCopyResult(CopyChars(small, 2, L"abc", 3));
    } else if (!strcmp(argv[1], "copy-no-memory")) {
        CheckCopyResult(12);
    } else if (!strcmp(argv[1], "copy-fits")) {
        wchar_t big[4];
        CheckCopyResult(CopyChars(big, 4, L"abc", 3));
        CheckCopyResult(80);
        return 0;
    }
    return 3;
}
