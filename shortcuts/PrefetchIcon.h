#pragma once
#include <windows.h>

// Downloads the address once into the URL cache and tells the shell of the cached file.
// A failed download is silent; one that has not ended after a few seconds is given up.
void PrefetchIcon(const wchar_t* url);
