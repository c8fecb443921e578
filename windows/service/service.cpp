// quendarixservice.exe: the product's background service. It runs under the
// Service Control Manager, reports itself running, and stops when asked.
#include <windows.h>

#include <cstdio>

#include "product.h"

namespace {

char ServiceName[] = QUENDARIX_SERVICE_NAME;

SERVICE_STATUS_HANDLE StatusHandle = nullptr;
SERVICE_STATUS Status = {};
HANDLE StopRequested = nullptr;

// Status.dwWin32ExitCode stays NO_ERROR unless the service failed to run.
void ReportServiceState(DWORD state)
{
    Status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    Status.dwCurrentState = state;
    Status.dwControlsAccepted = (state == SERVICE_RUNNING) ? (SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN) : 0;
    Status.dwServiceSpecificExitCode = 0;
    Status.dwCheckPoint = 0;
    Status.dwWaitHint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : 3000;
    SetServiceStatus(StatusHandle, &Status);
}

DWORD WINAPI HandleServiceControl(DWORD control, DWORD, LPVOID, LPVOID)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        ReportServiceState(SERVICE_STOP_PENDING);
        SetEvent(StopRequested);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI RunService(DWORD, LPSTR*)
{
    StatusHandle = RegisterServiceCtrlHandlerExA(ServiceName, HandleServiceControl, nullptr);
    if (StatusHandle == nullptr) {
        return;
    }
    StopRequested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (StopRequested == nullptr) {
        Status.dwWin32ExitCode = GetLastError();
        ReportServiceState(SERVICE_STOPPED);
        return;
    }

    ReportServiceState(SERVICE_RUNNING);
    WaitForSingleObject(StopRequested, INFINITE);
    CloseHandle(StopRequested);
    ReportServiceState(SERVICE_STOPPED);
}

}  // namespace

int main()
{
    // First of all, as in the installer: DLLs that system DLLs load by name
    // come from System32 only, never from the folder beside this program.
    (void)SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    SERVICE_TABLE_ENTRYA dispatchTable[] = {
        {ServiceName, RunService},
        {nullptr, nullptr},
    };
    if (!StartServiceCtrlDispatcherA(dispatchTable)) {
        const DWORD error = GetLastError();
        if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
            printf("quendarixservice.exe is a Windows service: quendarixinstall.exe registers it "
                   "and the Service Control Manager starts it.\n");
        } else {
            printf("quendarixservice.exe could not connect to the Service Control Manager. Error: 0x%lx\n",
                   error);
        }
        return 1;
    }
    return 0;
}
