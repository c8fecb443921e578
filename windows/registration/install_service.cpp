#include "install_service.h"

#include "service_manager.h"
#include "../installer/exit_codes.h"
#include "../installer/locate.h"
#include "../installer/report.h"

#include <cstdio>
#include <cstring>

const char* const ServiceStateNames[8] = {
    "UNKNOWN",
    "SERVICE_STOPPED",
    "SERVICE_START_PENDING",
    "SERVICE_STOP_PENDING",
    "SERVICE_RUNNING",
    "SERVICE_CONTINUE_PENDING",
    "SERVICE_PAUSE_PENDING",
    "SERVICE_PAUSED",
};

namespace {

const char ServiceDisplayName[] = "Quendarix";
char ServiceDescriptionText[] = "Quendarix control";

}  // namespace

bool ComposeBinaryPath(const char* ServiceExecutablePath, char* binaryPath, size_t size)
{
    // Room for the quotes around the full path.
    const DWORD fullPathSize = static_cast<DWORD>(size - 2);
    char* fullPath = binaryPath + 1;
    const DWORD length = GetFullPathNameA(ServiceExecutablePath, fullPathSize, fullPath, nullptr);
    if (length == 0) {
        return false;
    }
    if (length >= fullPathSize) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }

    // The manager splits an unquoted path at its first blank, which could
    // start another program (such as C:\Program.exe) in the service's place.
    if (strpbrk(fullPath, " \t") != nullptr) {
        binaryPath[0] = '"';
        binaryPath[length + 1] = '"';
        binaryPath[length + 2] = '\0';
    } else {
        memmove(binaryPath, fullPath, length + 1);
    }
    return true;
}

int InstallService(SC_HANDLE manager, const char* ServiceExecutablePath)
{
    ReportLine("Creating service...");

    char binaryPath[ServiceExecutablePathSize + 2];
    SC_HANDLE service = nullptr;
    if (ComposeBinaryPath(ServiceExecutablePath, binaryPath, sizeof(binaryPath))) {
        service = CreateServiceA(manager, ServiceName, ServiceDisplayName, SERVICE_ALL_ACCESS,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                 binaryPath, nullptr, nullptr, nullptr, nullptr, nullptr);
    }
    if (service == nullptr) {
        ReportLastError("Failed to create service. Error: 0x%lx");
        CloseServiceHandle(manager);
        return ExitServiceNotInstalled;
    }
    ReportLine("quendarix service has been created.");

    SERVICE_DESCRIPTIONA description = {};
    description.lpDescription = ServiceDescriptionText;
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description)) {
        ReportLastError("Failed to set service description. Err=0x%lx");
    }

    SERVICE_STATUS status = {};
    if (QueryServiceStatus(service, &status)) {
        const DWORD state = status.dwCurrentState;
        if (state <= 7) {
            ReportLine("Service status = %s (0x%lx)", ServiceStateNames[state], state);
        }
    } else {
        ReportLastError("Failed to query service status. Err = 0x%lx");
    }

    int exitCode = ExitSuccess;
    if (StartServiceA(service, 0, nullptr)) {
        ReportLine("quendarix service has been started.");
    } else {
        ReportLastError("Failed to start service. Error: 0x%lx");
        exitCode = ExitServiceNotInstalled;
    }

    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return exitCode;
}
