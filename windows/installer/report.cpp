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
        fclose(InstallLog);
        InstallLog = nullptr;
    }
}

void ReportLine(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    va_list logArguments;
    va_copy(logArguments, arguments);

    vfprintf(stdout, format, arguments);
    fputs("\n", stdout);
    fflush(stdout);

    if (InstallLog != nullptr) {
        vfprintf(InstallLog, format, logArguments);
        fputs("\n", InstallLog);
        fflush(InstallLog);
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
