#include "elevation.h"

#include "report.h"

#include <windows.h>

bool IsElevated()
{
    HANDLE token = nullptr;
    bool elevated = false;

    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        ReportLine("OpenProcessToken() failed.");
    } else {
        TOKEN_ELEVATION elevation = {};
        DWORD returnedLength = sizeof(elevation);
        if (GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &returnedLength)) {
            elevated = elevation.TokenIsElevated != 0;
        }
    }

    if (token != nullptr) {
        CloseHandle(token);
    }
    return elevated;
}
