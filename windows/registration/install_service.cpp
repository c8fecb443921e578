#include "install_service.h"

#include "replaceable.h"
#include "service_manager.h"
#include "../installer/exit_codes.h"
#include "../installer/report.h"

#include <cstdio>
#include <cstring>

const char* const ServiceStateNames[8] = {
    "UNKNOWN",
    "SERVICE_STOPPED",
    "SERVICE_START_PENDING",
    "SERVICE_STOP_PENDING",
    "SERVICE_RUNNING",
    "SERVICE_CONTINUE_PENDING",
    "SERVICE_PAUSE_PENDING",
    "SERVICE_PAUSED",
};

namespace {

const char ServiceDisplayName[] = "Quendarix";
char ServiceDescriptionText[] = "Quendarix control";

// The longest binary path registered, as for the path found from argv[0].
const size_t MaxBinaryPathLength = 1023;
// The resolved path, terminated; registered in quotes when it holds a space.
const size_t ServicePathSize = MaxBinaryPathLength + 1;
const size_t BinaryPathSize = MaxBinaryPathLength + 3;
// The system's answer puts "\\?\" before a drive path, and "\\?\UNC\"
// (six characters more) where a share's path starts with "\\".
const char LongPathPrefix[] = "\\\\?\\";
const char LongUncPrefix[] = "\\\\?\\UNC\\";
const size_t FinalPathSize = MaxBinaryPathLength + 6 + 1;

// Whether `path` names the very file held open as `file`: the same volume
// and file index. A name the system resolves can still lead elsewhere when
// read back: a best-fit form of a name the ANSI code page cannot carry
// ("Wroclaw" for "Wrocław") names a look-alike folder, or nothing.
bool NamesFile(const char* path, HANDLE file)
{
    HANDLE named = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (named == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION held = {};
    BY_HANDLE_FILE_INFORMATION found = {};
    const bool same = GetFileInformationByHandle(file, &held) && GetFileInformationByHandle(named, &found) &&
                      held.dwVolumeSerialNumber == found.dwVolumeSerialNumber &&
                      held.nFileIndexHigh == found.nFileIndexHigh && held.nFileIndexLow == found.nFileIndexLow;
    (void)CloseHandle(named);
    return same;
}

// The path of the open service file as the system resolves it from the
// handle (links followed, short names and letter case normalised, subst and
// mapped drives resolved to their real directory or share), without the
// "\\?\" prefix. Answers false with the last-error code set when it cannot be
// resolved, does not fit in MaxBinaryPathLength characters, holds '%' (which
// the manager would expand as an environment variable and so run another
// file) or '"', or does not lead back to the same file.
bool ResolveServicePath(HANDLE file, char (&servicePath)[ServicePathSize])
{
    char finalPath[FinalPathSize];
    const DWORD length =
        GetFinalPathNameByHandleA(file, finalPath, sizeof(finalPath), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) {
        return false;
    }
    if (length >= sizeof(finalPath)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }

    const char* path = finalPath;
    if (strncmp(finalPath, LongUncPrefix, sizeof(LongUncPrefix) - 1) == 0) {
        // "\\?\UNC\server\share" becomes "\\server\share": the prefix's last two
        // characters, "C\", turn into the share's leading "\\".
        char* share = finalPath + sizeof(LongUncPrefix) - 3;
        share[0] = '\\';
        path = share;
    } else if (strncmp(finalPath, LongPathPrefix, sizeof(LongPathPrefix) - 1) == 0) {
        path = finalPath + sizeof(LongPathPrefix) - 1;
    }
    if (strlen(path) > MaxBinaryPathLength) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    if (strpbrk(path, "%\"") != nullptr || !NamesFile(path, file)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }

    (void)snprintf(servicePath, sizeof(servicePath), "%s", path);
    return true;
}

}  // namespace

int InstallService(SC_HANDLE manager, const char* ServiceExecutablePath)
{
    ReportLine("Creating service...");

    // Held open without sharing writes or deletion until the service is
    // created, so that the file whose path is registered is the one resolved.
    // SECURITY_IDENTIFICATION: a path that leads to a named pipe cannot hand
    // the administrator's token to the pipe's server.
    HANDLE file = CreateFileA(ServiceExecutablePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    char servicePath[ServicePathSize];
    SC_HANDLE service = nullptr;
    if (file != INVALID_HANDLE_VALUE && ResolveServicePath(file, servicePath)) {
        WarnWhenServiceIsReplaceable(file, servicePath);
        // The manager splits an unquoted path at its first blank, which could
        // start another program (such as C:\Program.exe) in the service's place.
        const char* quote = strchr(servicePath, ' ') != nullptr ? "\"" : "";
        char binaryPath[BinaryPathSize];
        (void)snprintf(binaryPath, sizeof(binaryPath), "%s%s%s", quote, servicePath, quote);
        service = CreateServiceA(manager, ServiceName, ServiceDisplayName, SERVICE_ALL_ACCESS,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                 binaryPath, nullptr, nullptr, nullptr, nullptr, nullptr);
    }
    if (service == nullptr) {
        ReportLastError("Failed to create service. Error: 0x%lx");
    }
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    if (service == nullptr) {
        CloseServiceHandle(manager);
        return ExitServiceNotInstalled;
    }
    ReportLine("quendarix service has been created.");

    SERVICE_DESCRIPTIONA description = {};
    description.lpDescription = ServiceDescriptionText;
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description)) {
        ReportLastError("Failed to set service description. Err=0x%lx");
    }

    SERVICE_STATUS status = {};
    if (QueryServiceStatus(service, &status)) {
        const DWORD state = status.dwCurrentState;
        if (state <= 7) {
            ReportLine("Service status = %s (0x%lx)", ServiceStateNames[state], state);
        }
    } else {
        ReportLastError("Failed to query service status. Err = 0x%lx");
    }

    int exitCode = ExitSuccess;
    if (StartServiceA(service, 0, nullptr)) {
        ReportLine("quendarix service has been started.");
    } else {
        ReportLastError("Failed to start service. Error: 0x%lx");
        exitCode = ExitServiceNotInstalled;
    }

    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return exitCode;
}
