#include "report.h"

#include <cstdarg>
#include <cstdio>

namespace {

const char InstallLogPath[] = "c:/temp/quendarixinstall.log";

FILE* InstallLog = nullptr;

}  // namespace

void OpenInstallLog()
{
    // Binary mode: the log holds bare line feeds whatever the console shows.
    InstallLog = fopen(InstallLogPath, "wb");
}

void CloseInstallLog()
{
    if (InstallLog != nullptr) {
        (void)fclose(InstallLog);
        InstallLog = nullptr;
    }
}

void ReportLine(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    va_list logArguments;
    va_copy(logArguments, arguments);

    // Write and flush failures change nothing: the run goes on either way.
    (void)vfprintf(stdout, format, arguments);
    (void)fputs("\n", stdout);
    (void)fflush(stdout);

    if (InstallLog != nullptr) {
        (void)vfprintf(InstallLog, format, logArguments);
        (void)fputs("\n", InstallLog);
        (void)fflush(InstallLog);
    }

    va_end(logArguments);
    va_end(arguments);
}

DWORD ReportLastError(const char* format)
{
    const DWORD error = GetLastError();
    ReportLine(format, error);
    return error;
}
