#pragma once

#include <windows.h>

// The service's name in the manager's database, in both modes.
extern const char ServiceName[];

// Opens the local Service Control Manager with full access. Prints the
// failure line and answers null when it cannot.
SC_HANDLE OpenServiceManager();
