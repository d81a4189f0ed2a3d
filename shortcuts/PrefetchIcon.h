#pragma once
#include <windows.h>

// Downloads the address once into the URL cache and tells the shell of the cached file.
// A failed download is silent.
void PrefetchIcon(const wchar_t* url);
