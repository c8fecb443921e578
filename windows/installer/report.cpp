#include "report.h"

#include "install_log.h"

#include <cstdarg>
#include <cstdio>

namespace {

#if defined(_WIN32)

// The console's own output code page while it shows the ANSI one; 0 when
// it was not changed.
UINT ConsoleCodePage = 0;

#endif

}  // namespace

#if defined(_WIN32)

void ShowAnsiTextOnConsole()
{
    DWORD mode = 0;
    if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) {
        return;  // redirected: a file or pipe takes the bytes as they are
    }
    const UINT ansi = GetACP();
    const UINT own = GetConsoleOutputCP();
    if (own != 0 && own != ansi && SetConsoleOutputCP(ansi)) {
        ConsoleCodePage = own;
    }
}

void RestoreConsoleCodePage()
{
    if (ConsoleCodePage != 0) {
        (void)fflush(stdout);
        (void)SetConsoleOutputCP(ConsoleCodePage);
        ConsoleCodePage = 0;
    }
}

#else

void ShowAnsiTextOnConsole() {}

void RestoreConsoleCodePage() {}

#endif

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

    FILE* log = InstallLogStream();
    if (log != nullptr) {
        (void)vfprintf(log, format, logArguments);
        (void)fputs("\n", log);
        (void)fflush(log);
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
