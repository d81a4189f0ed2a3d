#include "installer/ReportResult.h"

#include "installer/MessageText.h"

void ReportResult(const wchar_t* text, HRESULT status) {
    MessageText message(text ? text : kMessageFatal);

    if (FAILED(status)) {
        wchar_t* systemText = nullptr;
        // There are no arguments for a text's inserts (%1): they are shown as written rather
        // than read from where no arguments were passed.
        DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                          FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, static_cast<DWORD>(status), 0x400,
                                      reinterpret_cast<wchar_t*>(&systemText), 0, nullptr);
        if (length && systemText) {
            // The box shows whatever could be composed; an append failure is not reported.
            (void)message.Append(L"\r\n", 2);
            (void)message.Append(systemText);
        }
        if (systemText) LocalFree(systemText);
    }

    MessageBoxW(nullptr, message.Get(), kMessageCaption,
                MB_OK | (FAILED(status) ? MB_ICONERROR : MB_ICONINFORMATION));
}
