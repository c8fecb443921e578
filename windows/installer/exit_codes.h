// The process exit codes of quendarixinstall.exe. Every run ends with exactly one.
#pragma once

#include <cstdint>

enum ExitCode : std::uint8_t {
    ExitSuccess = 0,                  // installed and started, or removed
    ExitNotElevated = 1,              // the process token is not elevated (or unreadable)
    ExitServiceExecutableMissing = 2, // quendarixservice.exe cannot be opened where argv[0] points
                                      // (beside the installer, or in the current directory)
    ExitServiceManagerUnavailable = 3,// the Service Control Manager cannot be opened
    ExitServiceNotRemoved = 4,        // uninstall: the service cannot be opened or deleted
    ExitServiceNotInstalled = 5,      // install: the service cannot be created or started
};
