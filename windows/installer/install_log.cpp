#include "install_log.h"

#include <windows.h>

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

const char InstallLogDirectory[] = "c:/temp";
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

// Every open here: a link that leads to a named pipe cannot hand the
// administrator's token to the pipe's server.
const DWORD IdentifyOnly = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
// The log's opens share reading only, never writing.
const DWORD LogSharing = FILE_SHARE_READ;

// Opens c:\temp itself, not what it may lead to, and answers the handle when
// it is a plain directory. Held without sharing deletion, it cannot be
// renamed or replaced by a link while the log is opened in it: the open asks
// to list the directory, a right that takes part in sharing checks (one that
// asks only to read attributes takes none, and pins nothing). The log's own
// final path is checked on its handle all the same.
HANDLE OpenPlainLogDirectory()
{
    HANDLE directory = CreateFileA(InstallLogDirectory, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS | IdentifyOnly, nullptr);
    if (directory == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(directory, &information) ||
        (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
            FILE_ATTRIBUTE_DIRECTORY) {
        (void)CloseHandle(directory);
        return INVALID_HANDLE_VALUE;
    }
    return directory;
}

// The SDK's FileDispositionInfoEx (Windows 10 1607 and later), which these
// MinGW-w64 headers declare only for a newer _WIN32_WINNT than the programs'.
const FILE_INFO_BY_HANDLE_CLASS DispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

// Removes a file that the log open created, through its handle: at once,
// even while others hold it open (POSIX semantics), and where the system
// does not know that form, by the classic deletion on close.
void DeleteCreatedFile(HANDLE file)
{
    FILE_DISPOSITION_INFO_EX dispositionEx = {};
    dispositionEx.Flags = FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
                          FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE;
    if (SetFileInformationByHandle(file, DispositionInfoEx, &dispositionEx, sizeof(dispositionEx))) {
        return;
    }
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    (void)SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition));
}

// Opens the log in the plain c:\temp that the caller holds, for writing, and
// truncates it only when it is its own file. A file reached elsewhere is left
// as it was; one that this open created there is removed again.
FILE* OpenLogFileIn()
{
    // Asking for DELETE only on a file the open creates: on an existing log
    // it would fail against readers that do not share deletion. Sharing
    // reads only: while the run writes the log, nobody can open it to
    // rewrite it (the warning lines deleted, say) before it is read; and a
    // log that someone holds open for writing is not opened at all.
    bool created = true;
    HANDLE file = CreateFileA(InstallLogPath, GENERIC_WRITE | DELETE, LogSharing, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | IdentifyOnly,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            return nullptr;
        }
        created = false;
        file = CreateFileA(InstallLogPath, GENERIC_WRITE, LogSharing, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT | IdentifyOnly, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return nullptr;
        }
    }

    if (!IsOwnLogFile(file)) {
        if (created) {
            DeleteCreatedFile(file);
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

// The elevated installer writes into c:\temp, which any user may create and
// own: a link planted there must not make it overwrite another file. So
// c:\temp must be a plain directory (no junction or link is followed at
// all), and the log, opened in it, must be its own file.
FILE* OpenOwnLogFile()
{
    HANDLE directory = OpenPlainLogDirectory();
    if (directory == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    FILE* log = OpenLogFileIn();
    (void)CloseHandle(directory);
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

FILE* InstallLogStream()
{
    return InstallLog;
}
