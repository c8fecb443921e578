// The installer's manager calls and nothing else: no output, no log, no probe.
// Its run time is the floor of process start plus the manager's own work.
//   bare_calls.exe BINARY_PATH     create, describe, query, start
//   bare_calls.exe /Uninstall      open, stop, delete
#include <windows.h>

#include <cstring>

#include "product.h"

int main(int argc, char** argv)
{
    if (argc != 2) return 2;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return 3;
    int exitCode = 0;
    if (strcmp(argv[1], "/Uninstall") == 0) {
        SC_HANDLE service = OpenServiceA(manager, QUENDARIX_SERVICE_NAME, SC_MANAGER_ALL_ACCESS);
        if (service == nullptr) return 4;
        SERVICE_STATUS status = {};
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        if (!DeleteService(service)) exitCode = 4;
        CloseServiceHandle(service);
    } else {
        SC_HANDLE service = CreateServiceA(manager, QUENDARIX_SERVICE_NAME, QUENDARIX_DISPLAY_NAME, SERVICE_ALL_ACCESS,
                                           SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                           argv[1], nullptr, nullptr, nullptr, nullptr, nullptr);
        if (service == nullptr) return 5;
        char description[] = QUENDARIX_DESCRIPTION;
        SERVICE_DESCRIPTIONA info = {description};
        ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &info);
        SERVICE_STATUS status = {};
        QueryServiceStatus(service, &status);
        if (!StartServiceA(service, 0, nullptr)) exitCode = 5;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return exitCode;
}
