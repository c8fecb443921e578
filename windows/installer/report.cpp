#include "report.h"

#include <cstdarg>
#include <cstdio>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstring>
#endif

namespace {

const char InstallLogPath[] = "c:/temp/quendarixinstall.log";

FILE* InstallLog = nullptr;

#if defined(_WIN32)

// The log's path as the system resolves it from a handle to the log itself.
const char InstallLogFinalPath[] = "\\\\?\\C:\\temp\\quendarixinstall.log";

// True when the open file is the log's own: reached through no junction or
// link (its final path is the log's path), a plain file, with no other name.
// Everything is read from the handle, so a link swapped in after the open
// cannot pass.
bool IsOwnLogFile(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(file, &information)) {
        return false;
    }
    if ((information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        information.nNumberOfLinks != 1) {
        return false;
    }
    char finalPath[sizeof(InstallLogFinalPath)];
    const DWORD length =
        GetFinalPathNameByHandleA(file, finalPath, sizeof(finalPath), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    return length == sizeof(InstallLogFinalPath) - 1 && _stricmp(finalPath, InstallLogFinalPath) == 0;
}

// Opens the log for writing only when it is its own file, and truncates it
// only then. The elevated installer writes into c:\temp, which any user may
// create and own: a link planted there must not make it overwrite another
// file. A file reached elsewhere is left as it was; one that this open
// created there is removed again.
FILE* OpenOwnLogFile()
{
    // Asking for DELETE only on a file the open creates: on an existing log
    // it would fail against readers that do not share deletion.
    bool created = true;
    HANDLE file = CreateFileA(InstallLogPath, GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            return nullptr;
        }
        created = false;
        file = CreateFileA(InstallLogPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return nullptr;
        }
    }

    if (!IsOwnLogFile(file)) {
        if (created) {
            FILE_DISPOSITION_INFO disposition = {};
            disposition.DeleteFile = TRUE;
            (void)SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition));
        }
        (void)CloseHandle(file);
        return nullptr;
    }
    if (!SetEndOfFile(file)) {
        (void)CloseHandle(file);
        return nullptr;
    }

    // Binary, as fopen's "wb": the log holds bare line feeds.
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    if (descriptor == -1) {
        (void)CloseHandle(file);
        return nullptr;
    }
    FILE* log = _fdopen(descriptor, "wb");
    if (log == nullptr) {
        (void)_close(descriptor);
    }
    return log;
}

#else

// Hosts without Windows links: the plain open.
FILE* OpenOwnLogFile()
{
    return fopen(InstallLogPath, "wb");
}

#endif

}  // namespace

void OpenInstallLog()
{
    InstallLog = OpenOwnLogFile();
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
