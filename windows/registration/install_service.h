#pragma once

#include <windows.h>

// Names printed for the states 0 to 7 the manager reports for a service.
extern const char* const ServiceStateNames[8];

// Registers `ServiceExecutablePath` as the automatically started service
// "quendarix", describes it, prints its state and starts it. Closes both
// handles and answers ExitSuccess, or ExitServiceNotInstalled when the
// service cannot be created or started (a created service is left in place).
int InstallService(SC_HANDLE manager, const char* ServiceExecutablePath);

// The binary path registered for `ServiceExecutablePath`: its full path,
// in double quotes when it holds a space or a tab. Answers false, with the
// last-error code set, when the full path cannot be formed in `size` bytes.
bool ComposeBinaryPath(const char* ServiceExecutablePath, char* binaryPath, size_t size);
