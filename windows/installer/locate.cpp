#include "locate.h"

#include "report.h"

#include <climits>
#include <cstdio>
#include <cstring>

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

}  // namespace

size_t InstallerDirectoryLength(const char* argv0)
{
    const char* occurrence = strstr(argv0, InstallerFileName);
    if (occurrence != nullptr) {
        return static_cast<size_t>(occurrence - argv0);
    }

    // Started under another name (other letter case, no extension, renamed):
    // the service executable is looked for in the same directory.
    size_t length = 0;
    for (size_t i = 0; argv0[i] != '\0'; ++i) {
        const char c = argv0[i];
        if (c == '\\' || c == '/' || (i == 1 && c == ':' && IsDriveLetter(argv0[0]))) {
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

    FILE* probe = fopen(ServiceExecutablePath, "rb");
    if (probe == nullptr) {
        ReportLine("Did not find quendarixservice executable at %s. Aborting.", ServiceExecutablePath);
        return false;
    }
    ReportLine("Found executable at %s", ServiceExecutablePath);
    (void)fclose(probe);
    return true;
}
