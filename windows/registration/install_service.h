#pragma once

#include <windows.h>

// Names printed for the states 0 to 7 the manager reports for a service.
extern const char* const ServiceStateNames[8];

// Registers the file found at `ServiceExecutablePath`, by its path as the
// system resolves it, as the automatically started service "quendarix",
// describes it, prints its state and starts it. Closes both handles and
// answers ExitSuccess, or ExitServiceNotInstalled when the service cannot be
// created or started (a created service is left in place).
int InstallService(SC_HANDLE manager, const char* ServiceExecutablePath);
