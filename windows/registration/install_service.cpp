#include "install_service.h"

#include "registered_path.h"
#include "replaceable.h"
#include "service_manager.h"
#include "../installer/exit_codes.h"
#include "../installer/report.h"
#include "product.h"

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

const char ServiceDisplayName[] = QUENDARIX_DISPLAY_NAME;
char ServiceDescriptionText[] = QUENDARIX_DESCRIPTION;

// Registered in quotes when it holds a space.
const size_t BinaryPathSize = ServicePathSize + 2;

}  // namespace

int InstallService(SC_HANDLE manager, const char* ServiceExecutablePath)
{
    ReportLine("Creating service...");

    // Held open, sharing reads only, until the first start has returned, so
    // that the file whose path is registered is the one resolved and the one
    // the manager first starts: nobody can write, replace or rename it in
    // between. The manager's own open of the program only reads and executes
    // it, which that sharing allows.
    // SECURITY_IDENTIFICATION: a path that leads to a named pipe cannot hand
    // the administrator's token to the pipe's server.
    HANDLE file = CreateFileA(ServiceExecutablePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    char servicePath[ServicePathSize];
    SC_HANDLE service = nullptr;
    if (file != INVALID_HANDLE_VALUE && ResolveServicePath(file, servicePath)) {
        if (IsOnShare(servicePath)) {
            // Whoever controls the share decides what runs as LocalSystem
            // here, and its permissions are the server's to say.
            ReportLine("Warning: %s is on a network share: the service may not start at boot, and whoever controls "
                       "the share can replace it. Keep the service on a local disk.",
                       servicePath);
        } else {
            WarnWhenServiceIsReplaceable(file, servicePath);
        }
        // The manager splits an unquoted path at its first blank, which could
        // start another program (such as C:\Program.exe) in the service's place.
        const char* quote = strchr(servicePath, ' ') != nullptr ? "\"" : "";
        char binaryPath[BinaryPathSize];
        (void)snprintf(binaryPath, sizeof(binaryPath), "%s%s%s", quote, servicePath, quote);
        service = CreateServiceA(manager, ServiceName, ServiceDisplayName, SERVICE_ALL_ACCESS,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                 binaryPath, nullptr, nullptr, nullptr, nullptr, nullptr);
    }
    if (service == nullptr) {
        ReportLastError("Failed to create service. Error: 0x%lx");
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
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

    CloseHandle(file);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return exitCode;
}
