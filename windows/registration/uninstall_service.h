#pragma once

#include <windows.h>

// Asks the service "quendarix" to stop and deletes its registration. Closes
// both handles and answers ExitSuccess, or ExitServiceNotRemoved when the
// service cannot be opened or the manager refuses the deletion.
int UninstallService(SC_HANDLE manager);
