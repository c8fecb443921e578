#include "service_manager.h"

#include "../installer/report.h"
#include "product.h"

const char ServiceName[] = QUENDARIX_SERVICE_NAME;

SC_HANDLE OpenServiceManager()
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        ReportLine("Failed to open Service Configuration Manager. Aborting.");
    }
    return manager;
}
