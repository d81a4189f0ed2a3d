// A program that starts and never gets anywhere: registered as a COM class's local server,
// it stands in for a server that never registers its class object.
#include <windows.h>

int wmain() {
    Sleep(INFINITE);
    return 0;
}
