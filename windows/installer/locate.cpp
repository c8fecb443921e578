#include "locate.h"

#include "path_text.h"
#include "report.h"

#include <climits>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
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

// True when the program name on the command line, as the system holds it,
// comes into the ANSI code page without loss. argv[0] is that text after the
// system's best-fit conversion: a character the code page lacks becomes a
// look-alike ("Wrocław" becomes "Wroclaw") or '?'. The path composed from it
// could then name a file that someone else planted in a look-alike folder.
// This is the program's one wide-text call: it only asks whether anything
// was lost, and no wide text goes on into the run.
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
    if (length == 0) {
        return true;
    }
    // A UTF-8 code page carries every character; it takes no best-fit flags.
    if (GetACP() == CP_UTF8) {
        return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, commandLine, length, nullptr, 0, nullptr,
                                   nullptr) > 0;
    }
    BOOL usedDefault = FALSE;
    const int converted =
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, commandLine, length, nullptr, 0, nullptr, &usedDefault);
    return converted > 0 && !usedDefault;
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

// Host builds take their arguments as they are.
bool ProgramNameSurvivesCodePage()
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
    const char* occurrence = FindInstallerFileName(argv0);
    if (occurrence != nullptr) {
        return static_cast<size_t>(occurrence - argv0);
    }

    // Started under another name (other letter case, no extension, renamed):
    // the service executable is looked for in the same directory.
    size_t length = 0;
    for (const char* at = argv0; *at != '\0'; at = NextCharacter(at)) {
        const size_t i = static_cast<size_t>(at - argv0);
        if (*at == '\\' || *at == '/' || (i == 1 && *at == ':' && IsDriveLetter(argv0[0]))) {
            length = i + 1;
        }
    }
    return length;
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
    // the installer is: whatever stands there is never opened. (Constant only
    // in host builds, which is all cppcheck sees.)
    // cppcheck-suppress knownConditionTrueFalse
    if (!ProgramNameSurvivesCodePage() || !CanOpenForReading(ServiceExecutablePath)) {
        ReportLine("Did not find quendarixservice executable at %s. Aborting.", ServiceExecutablePath);
        return false;
    }
    ReportLine("Found executable at %s", ServiceExecutablePath);
    return true;
}
