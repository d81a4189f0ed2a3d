#include "installer/RunInstaller.h"

#include <objbase.h>

#include "installer/ReportResult.h"

int RunInstaller(HINSTANCE, HINSTANCE, LPWSTR, int) {
    HRESULT hr = CoInitialize(nullptr);
    if (FAILED(hr)) {
        ReportResult(kMessageCoInitialize, hr);
        return 1;
    }

    hr = S_OK;

    if (SUCCEEDED(hr)) ReportResult(kMessageInstalled, S_OK);

    CoUninitialize();
    return FAILED(hr) ? 1 : 0;
}
