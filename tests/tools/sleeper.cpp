// A program that starts and never gets anywhere: registered as a COM class's local server,
// it stands in for a server that never registers its class object. A first argument that
// is not a switch names a file made at the first start, for a test to time from.
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc > 1 && argv[1][0] != L'-') {
        HANDLE stamp = CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (stamp != INVALID_HANDLE_VALUE) CloseHandle(stamp);
    }
    Sleep(INFINITE);
    return 0;
}
