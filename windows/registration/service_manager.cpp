#include "service_manager.h"

#include "../installer/report.h"

const char ServiceName[] = "quendarix";

SC_HANDLE OpenServiceManager()
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        ReportLine("Failed to open Service Configuration Manager. Aborting.");
    }
    return manager;
}
