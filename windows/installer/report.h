// Every line the installer prints goes to standard output and to the install log.
#pragma once

#include <windows.h>

#if defined(__GNUC__)
#define REPORT_PRINTF_FORMAT(formatIndex, firstArgument) \
    __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define REPORT_PRINTF_FORMAT(formatIndex, firstArgument)
#endif

// The lines are text in the ANSI code page; a console shows them in its own
// output code page (the OEM one, 850 on a Western European system), which
// turns "é" or "Ü" into other letters. When standard output is such a
// console, it shows the ANSI code page for the run, and its own again from
// RestoreConsoleCodePage, as the process ends. Redirected output and the
// log are bytes either way. Windows only.
void ShowAnsiTextOnConsole();
void RestoreConsoleCodePage();

// Writes one message line to standard output and, when it is open, to the
// install log; both are flushed after the line. `format` is always one of
// the program's own literals; variable text only ever goes through "%s".
void ReportLine(const char* format, ...) REPORT_PRINTF_FORMAT(1, 2);

// Reports a failed platform call: reads the last-error code once, prints it
// through `format` (whose only conversion is the "%lx" after "0x") and
// hands the code back so that the caller can act on the same value.
DWORD ReportLastError(const char* format);
