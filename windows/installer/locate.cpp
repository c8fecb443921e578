#include "locate.h"

#include "path_text.h"
#include "report.h"

#include <climits>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>

#include "../registration/registered_path.h"
#endif

namespace {

const char InstallerFileName[] = "quendarixinstall.exe";
const char ServiceFileName[] = "quendarixservice.exe";

// The text of argv[0] before the installer's name: at most 1023 characters
// and the terminator.
const size_t InstallerDirectorySize = 1024;

bool IsDriveLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The "Did not find" line for a path too long to be probed: it shows the
// whole path that was meant, not a cut one.
void ReportPathTooLong(const char* argv0, size_t directoryLength)
{
    // A command line, and so argv[0], holds at most 32767 characters.
    const int shownLength = directoryLength < INT_MAX ? static_cast<int>(directoryLength) : INT_MAX;
    ReportLine("Did not find quendarixservice executable at %.*s%s. Aborting.", shownLength, argv0,
               ServiceFileName);
}

#if defined(_WIN32)

// The narrow calls answer text after the system's best-fit conversion: a
// character the ANSI code page lacks becomes a look-alike ("Wrocław"
// becomes "Wroclaw") or '?'. A path made from such text could name a file
// that someone else planted in a look-alike folder. So the two texts the
// run takes from the system, its program name and its own path, are asked
// for wide and converted here, never by best fit: -1 when anything would
// be lost (or `out`, of `size` bytes, is too small), else the narrow
// length, the text written to `out` when one is given. No wide text goes on
// into the run.
int ToAnsiCodePage(const wchar_t* text, int length, char* out, int size)
{
    const int room = out != nullptr ? size - 1 : 0;
    int converted = 0;
    if (length == 0) {
        converted = 0;
    } else if (GetACP() == CP_UTF8) {  // carries every character; takes no best-fit flags
        converted = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, length, out, room, nullptr, nullptr);
    } else {
        BOOL usedDefault = FALSE;
        converted = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, length, out, room, nullptr, &usedDefault);
        if (usedDefault) {
            return -1;
        }
    }
    if (length != 0 && converted <= 0) {
        return -1;
    }
    if (out != nullptr) {
        out[converted] = '\0';
    }
    return converted;
}

// True when the program name on the command line, as the system holds it,
// comes into the ANSI code page without loss: argv[0] is that text.
bool ProgramNameSurvivesCodePage()
{
    const wchar_t* commandLine = GetCommandLineW();
    // The runtime's rule for argv[0]: up to the first blank outside quotes.
    int length = 0;
    bool quoted = false;
    for (; commandLine[length] != L'\0'; ++length) {
        const wchar_t c = commandLine[length];
        if (c == L'"') {
            quoted = !quoted;
        } else if (!quoted && (c == L' ' || c == L'\t')) {
            break;
        }
    }
    return ToAnsiCodePage(commandLine, length, nullptr, 0) >= 0;
}

// The running program's own folder, with its separator, from the module's
// path as the system reports it: false when that path does not fit the
// buffer, does not come into the ANSI code page whole, or does not start at
// a volume ("X:\\", "\\\\server\\share\\", "\\\\?\\..."): Wine answers
// "unix\\..." for a program it started by "\\\\?\\unix\\...".
bool ProgramFolder(char (&folder)[ServiceExecutablePathSize])
{
    wchar_t wide[ServiceExecutablePathSize];
    const DWORD wideLength = GetModuleFileNameW(nullptr, wide, ServiceExecutablePathSize);
    if (wideLength == 0 || wideLength >= ServiceExecutablePathSize ||
        ToAnsiCodePage(wide, static_cast<int>(wideLength), folder, sizeof(folder)) < 0) {
        return false;
    }
    const char* separator = FindLastBackslash(folder);
    if (separator == nullptr || (VolumeRootLength(folder) == 0 && strncmp(folder, "\\\\?\\", 4) != 0)) {
        return false;
    }
    folder[separator - folder + 1] = '\0';
    return true;
}

// A folder opened as itself, for its identity, from the folder part of a
// path: "C:\\Tools\\" as it stands (a "\\\\?\\" path is not normalised, so
// nothing may be added to it), "D:" and "" (the current folder) with ".".
HANDLE OpenFolder(const char* folder)
{
    const size_t length = strlen(folder);
    const bool relative = length == 0 || folder[length - 1] == ':';
    char named[ServiceExecutablePathSize + 1];
    (void)snprintf(named, sizeof(named), "%s%s", folder, relative ? "." : "");
    return CreateFileA(named, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                       nullptr);
}

// Whether the folder that `directoryLength` characters of `path` name is the
// running program's own (the same volume and file id). It is not when
// argv[0] was found through PATH, or names another place: the service file
// is then looked for beside the program, in `programFolder`.
bool IsProgramFolder(const char* path, size_t directoryLength, const char* programFolder)
{
    char folder[ServiceExecutablePathSize] = {};
    memcpy(folder, path, directoryLength);
    HANDLE named = OpenFolder(folder);
    HANDLE own = OpenFolder(programFolder);
    const bool same = named != INVALID_HANDLE_VALUE && own != INVALID_HANDLE_VALUE && SameFile(named, own);
    if (named != INVALID_HANDLE_VALUE) {
        (void)CloseHandle(named);
    }
    if (own != INVALID_HANDLE_VALUE) {
        (void)CloseHandle(own);
    }
    return same;
}

// The service file beside the running program, in place of the path
// composed from argv[0] when that names another folder. False when the
// program's folder cannot be told (then the run ends as for a lossy or too
// long argv[0]).
bool BesideProgram(char* ServiceExecutablePath, size_t directoryLength)
{
    char programFolder[ServiceExecutablePathSize];
    if (!ProgramFolder(programFolder)) {
        return false;
    }
    if (IsProgramFolder(ServiceExecutablePath, directoryLength, programFolder)) {
        return true;
    }
    if (strlen(programFolder) + sizeof(ServiceFileName) > ServiceExecutablePathSize) {
        return false;
    }
    (void)snprintf(ServiceExecutablePath, ServiceExecutablePathSize, "%s%s", programFolder, ServiceFileName);
    return true;
}

// Whether the file can be opened for reading, with the sharing of the
// runtime's fopen. SECURITY_IDENTIFICATION: should the path lead to a named
// pipe, its server cannot act with the administrator's token.
bool CanOpenForReading(const char* path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    (void)CloseHandle(file);
    return true;
}

#else

// Host builds take their arguments as they are, and the folder they name as
// the program's own.
bool ProgramNameSurvivesCodePage()
{
    return true;
}

bool BesideProgram(char*, size_t)
{
    return true;
}

bool CanOpenForReading(const char* path)
{
    FILE* probe = fopen(path, "rb");
    if (probe == nullptr) {
        return false;
    }
    (void)fclose(probe);
    return true;
}

#endif

// The first occurrence of the installer's name that starts a character.
const char* FindInstallerFileName(const char* argv0)
{
    for (const char* at = argv0; *at != '\0'; at = NextCharacter(at)) {
        if (strncmp(at, InstallerFileName, sizeof(InstallerFileName) - 1) == 0) {
            return at;
        }
    }
    return nullptr;
}

}  // namespace

size_t InstallerDirectoryLength(const char* argv0)
{
    // argv[0]'s directory part: up to and including its last separator, or
    // its drive "X:".
    size_t length = 0;
    for (const char* at = argv0; *at != '\0'; at = NextCharacter(at)) {
        const size_t i = static_cast<size_t>(at - argv0);
        if (*at == '\\' || *at == '/' || (i == 1 && *at == ':' && IsDriveLetter(argv0[0]))) {
            length = i + 1;
        }
    }
    // The installer's name in the file's own name ("old-quendarixinstall.exe",
    // "quendarixinstall.exe.bak"): the text before it. A folder's name that
    // holds it plays no part. Under another name (other letter case, no
    // extension, renamed), the directory part alone.
    const char* occurrence = FindInstallerFileName(argv0 + length);
    return occurrence != nullptr ? static_cast<size_t>(occurrence - argv0) : length;
}

bool LocateServiceExecutable(const char* argv0, char* ServiceExecutablePath)
{
    char InstallerDirectory[InstallerDirectorySize];
    memset(InstallerDirectory, 0, sizeof(InstallerDirectory));

    ReportLine("argv[0] = %s", argv0);

    const size_t directoryLength = InstallerDirectoryLength(argv0);
    memset(ServiceExecutablePath, 0, ServiceExecutablePathSize);

    // A path that would be cut could name another file than the one beside
    // the installer: it is never probed.
    bool fits = directoryLength < sizeof(InstallerDirectory);
    if (fits) {
        memcpy(InstallerDirectory, argv0, directoryLength);
        const int composedLength = snprintf(ServiceExecutablePath, ServiceExecutablePathSize, "%s%s",
                                            InstallerDirectory, ServiceFileName);
        fits = composedLength >= 0 && static_cast<size_t>(composedLength) < ServiceExecutablePathSize;
    }
    if (!fits) {
        memset(ServiceExecutablePath, 0, ServiceExecutablePathSize);
        ReportPathTooLong(argv0, directoryLength);
        return false;
    }

    // A path composed from a look-alike of the installer's folder is not where
    // the installer is: whatever stands there is never opened. Nor is a
    // path in any folder but the program's own. (Constant only in host
    // builds, which is all cppcheck sees.)
    // cppcheck-suppress knownConditionTrueFalse
    if (!ProgramNameSurvivesCodePage() || !BesideProgram(ServiceExecutablePath, directoryLength) ||
        !CanOpenForReading(ServiceExecutablePath)) {
        ReportLine("Did not find quendarixservice executable at %s. Aborting.", ServiceExecutablePath);
        return false;
    }
    ReportLine("Found executable at %s", ServiceExecutablePath);
    return true;
}
