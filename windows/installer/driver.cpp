#include "driver.h"

#include "elevation.h"
#include "exit_codes.h"
#include "install_log.h"
#include "locate.h"
#include "report.h"
#include "../registration/install_service.h"
#include "../registration/service_manager.h"
#include "../registration/uninstall_service.h"

#include <cstring>

namespace {

const char UninstallSwitch[] = "/Uninstall";

}  // namespace

RunMode ChooseRunMode(int argc, char** argv)
{
    if (argc >= 2 && argv[1] != nullptr && strcmp(argv[1], UninstallSwitch) == 0) {
        return RunMode::Uninstall;
    }
    return RunMode::Install;
}

int RunProgram(int argc, char** argv)
{
    // First of all: system DLLs load others by name while the program runs,
    // and the default search order puts the program's own folder first. An
    // elevated installer started from Downloads would load a DLL of that
    // name that a browser dropped there.
    (void)SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    ShowAnsiTextOnConsole();
    const int exitCode = RunInstaller(argc, argv);
    CloseInstallLog();
    RestoreConsoleCodePage();
    return exitCode;
}

int RunInstaller(int argc, char** argv)
{
    OpenInstallLog();

    const RunMode mode = ChooseRunMode(argc, argv);

    if (!IsElevated()) {
        ReportLine("Not running with elevated permissions. Aborting.");
        return ExitNotElevated;
    }

    const char* argv0 = (argc >= 1 && argv[0] != nullptr) ? argv[0] : "";
    char ServiceExecutablePath[ServiceExecutablePathSize];
    if (!LocateServiceExecutable(argv0, ServiceExecutablePath)) {
        return ExitServiceExecutableMissing;
    }

    SC_HANDLE manager = OpenServiceManager();
    if (manager == nullptr) {
        return ExitServiceManagerUnavailable;
    }

    if (mode == RunMode::Uninstall) {
        return UninstallService(manager);
    }
    return InstallService(manager, ServiceExecutablePath);
}
