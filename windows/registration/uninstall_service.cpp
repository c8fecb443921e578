#include "uninstall_service.h"

#include "service_manager.h"
#include "../installer/exit_codes.h"
#include "../installer/report.h"

namespace {

// For a service object this mask grants the standard rights (DELETE among
// them) with query and change of the configuration, status, dependents,
// start and stop: what the removal needs.
const DWORD ServiceRemovalAccess = SC_MANAGER_ALL_ACCESS;

}  // namespace

int UninstallService(SC_HANDLE manager)
{
    SC_HANDLE service = OpenServiceA(manager, ServiceName, ServiceRemovalAccess);
    if (service == nullptr) {
        ReportLine("Failed to open service.");
        CloseServiceHandle(manager);
        return ExitServiceNotRemoved;
    }

    // The stop is only asked for; the deletion follows at once either way.
    SERVICE_STATUS status = {};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        ReportLastError("Failed to stop service. Err=0x%lx");
    }

    int exitCode = ExitSuccess;
    if (DeleteService(service)) {
        ReportLine("Deleted quendarix service.");
    } else {
        const DWORD error = ReportLastError("Failed to delete quendarix service. Err = 0x%lx");
        // Already marked for deletion: the removal is under way.
        if (error != ERROR_SERVICE_MARKED_FOR_DELETE) {
            exitCode = ExitServiceNotRemoved;
        }
    }

    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return exitCode;
}
