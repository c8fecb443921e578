#include "driver.h"
#include "report.h"

// The MinGW-w64 runtime passes the arguments as typed: no wildcard expansion.
extern "C" {
int _dowildcard = 0;
}

int main(int argc, char** argv)
{
    ShowAnsiTextOnConsole();
    const int exitCode = RunInstaller(argc, argv);
    CloseInstallLog();
    RestoreConsoleCodePage();
    return exitCode;
}
