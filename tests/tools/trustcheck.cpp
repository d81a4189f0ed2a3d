// Asks WinVerifyTrust (Authenticode policy, no UI, no revocation checks) about each file
// given and prints one line per file:
//   <path>: result 0x........ chain 0x........ signer <subject>
// chain is the error status of the signer's certificate chain and signer the subject of the
// signing certificate; 0xffffffff and "-" when the check did not get as far as the signer.
#include <windows.h>
#include <softpub.h>
#include <stdio.h>
#include <wintrust.h>

int wmain(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        WINTRUST_FILE_INFO file = {};
        file.cbStruct = sizeof(file);
        file.pcwszFilePath = argv[i];
        WINTRUST_DATA data = {};
        data.cbStruct = sizeof(data);
        data.dwUIChoice = WTD_UI_NONE;
        data.fdwRevocationChecks = WTD_REVOKE_NONE;
        data.dwUnionChoice = WTD_CHOICE_FILE;
        data.pFile = &file;
        data.dwStateAction = WTD_STATEACTION_VERIFY;
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);

        DWORD chainStatus = 0xffffffff;
        wchar_t subject[256] = L"-";
        CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data.hWVTStateData);
        CRYPT_PROVIDER_SGNR* signer =
            provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
        if (signer && signer->pChainContext) {
            chainStatus = signer->pChainContext->TrustStatus.dwErrorStatus;
        }
        if (signer && signer->csCertChain && signer->pasCertChain[0].pCert) {
            CertGetNameStringW(signer->pasCertChain[0].pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0,
                               nullptr, subject, 256);
        }
        data.dwStateAction = WTD_STATEACTION_CLOSE;
        WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
        printf("%ls: result 0x%08lx chain 0x%08lx signer %ls\n", argv[i],
               static_cast<unsigned long>(result), static_cast<unsigned long>(chainStatus), subject);
    }
    return 0;
}
