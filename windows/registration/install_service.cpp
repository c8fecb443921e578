#include "install_service.h"

#include "replaceable.h"
#include "service_manager.h"
#include "../installer/exit_codes.h"
#include "../installer/path_text.h"
#include "../installer/report.h"
#include "product.h"

#include <algorithm>
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

const char ServiceDisplayName[] = QUENDARIX_DISPLAY_NAME;
char ServiceDescriptionText[] = QUENDARIX_DESCRIPTION;

// The registered path is shorter than MAX_PATH (it must open again by
// name); the buffers hold longer answers, to tell them apart.
const size_t ServicePathSize = MAX_PATH;
// Registered in quotes when it holds a space.
const size_t BinaryPathSize = ServicePathSize + 2;
// The system's answer puts "\\?\" before a drive path, and "\\?\UNC\"
// (six characters more) where a share's path starts with "\\".
const char LongPathPrefix[] = "\\\\?\\";
const char LongUncPrefix[] = "\\\\?\\UNC\\";
const size_t FinalPathSize = 1024;

// Whether a file id can tell one file from another: a file system that
// cannot give a unique id answers all ones, and zero when it has none.
template <size_t Size>
bool IsAll(const BYTE (&id)[Size], BYTE value)
{
    return std::all_of(id, id + Size, [value](BYTE b) { return b == value; });
}

template <size_t Size>
bool ProvesIdentity(const BYTE (&id)[Size])
{
    return !IsAll(id, 0x00) && !IsAll(id, 0xff);
}

// Whether two open handles are the same file: the same volume and file id.
// The 128-bit id of FileIdInfo, as the 64-bit file index is not unique on
// ReFS (and Dev Drive); that index where FileIdInfo is not supported, or
// answers zero for both ("no 128-bit id", as on FAT). An id that proves
// nothing never makes two handles the same.
bool SameFile(HANDLE first, HANDLE second)
{
    FILE_ID_INFO firstId = {};
    FILE_ID_INFO secondId = {};
    if (GetFileInformationByHandleEx(first, FileIdInfo, &firstId, sizeof(firstId)) &&
        GetFileInformationByHandleEx(second, FileIdInfo, &secondId, sizeof(secondId)) &&
        !(IsAll(firstId.FileId.Identifier, 0x00) && IsAll(secondId.FileId.Identifier, 0x00))) {
        const BYTE(&id)[sizeof(firstId.FileId.Identifier)] = firstId.FileId.Identifier;
        return firstId.VolumeSerialNumber == secondId.VolumeSerialNumber &&
               memcmp(id, secondId.FileId.Identifier, sizeof(id)) == 0 && ProvesIdentity(id);
    }
    BY_HANDLE_FILE_INFORMATION firstIndex = {};
    BY_HANDLE_FILE_INFORMATION secondIndex = {};
    if (!GetFileInformationByHandle(first, &firstIndex) || !GetFileInformationByHandle(second, &secondIndex)) {
        return false;
    }
    BYTE index[8];
    for (size_t i = 0; i < 4; ++i) {
        index[i] = static_cast<BYTE>(firstIndex.nFileIndexLow >> (8 * i));
        index[4 + i] = static_cast<BYTE>(firstIndex.nFileIndexHigh >> (8 * i));
    }
    return firstIndex.dwVolumeSerialNumber == secondIndex.dwVolumeSerialNumber &&
           firstIndex.nFileIndexHigh == secondIndex.nFileIndexHigh &&
           firstIndex.nFileIndexLow == secondIndex.nFileIndexLow && ProvesIdentity(index);
}

// Whether `path` names the very file held open as `file`. A name the system
// resolves can still lead elsewhere when read back: a best-fit form of a
// name the ANSI code page cannot carry ("Wroclaw" for "Wrocław") names a
// look-alike folder, or nothing.
bool NamesFile(const char* path, HANDLE file)
{
    HANDLE named = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (named == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool same = SameFile(file, named);
    (void)CloseHandle(named);
    return same;
}

// Whether a resolved path is on a network share: a "\\server\share" path,
// or a drive the system reports as remote.
bool IsOnShare(const char* path)
{
    if (strncmp(path, "\\\\", 2) == 0) {
        return true;
    }
    if (path[0] == '\0' || path[1] != ':') {
        return false;
    }
    const char root[] = {path[0], ':', '\\', '\0'};
    return GetDriveTypeA(root) == DRIVE_REMOTE;
}

// The drive or share path in a path the system answered: after "\\?\" a
// drive path, after "\\?\UNC\" a share's path (whose leading "\\" takes
// the place of the prefix's last two characters, "C\"), or a drive or share
// path as it stands; nullptr for any other form (a volume GUID path,
// "\\?\GLOBALROOT\...", Wine's "\\?\unix\...", a relative path), which is
// never registered.
char* RegistrableForm(char* answer)
{
    char* path = answer;
    if (strncmp(answer, LongUncPrefix, sizeof(LongUncPrefix) - 1) == 0) {
        path = answer + sizeof(LongUncPrefix) - 3;
        path[0] = '\\';
    } else if (strncmp(answer, LongPathPrefix, sizeof(LongPathPrefix) - 1) == 0) {
        path = answer + sizeof(LongPathPrefix) - 1;
        return VolumeRootLength(path) == 3 ? path : nullptr;
    }
    return VolumeRootLength(path) != 0 ? path : nullptr;
}

// The path of the open service file as the system resolves it from the
// handle (links followed, short names and letter case normalised, subst and
// mapped drives resolved to their real directory or share): a drive path or
// a share path, without the "\\?\" prefix, and nothing else. The path as
// typed is never taken in its place: where the file's volume has no drive
// letter of its own the system answers ERROR_PATH_NOT_FOUND, and a drive
// letter that reached the file anyway was made by subst or DefineDosDevice
// for this logon session only. The manager resolves the registered path in
// the global namespace, at the first start and at every boot, where that
// letter is undefined or another volume's. Answers false with the
// last-error code set when it cannot be resolved (the system's own error),
// is of another form, is too long to be opened again by name (MAX_PATH for
// the narrow calls), holds '%' (which the manager would expand as an
// environment variable and so run another file) or '"', or does not lead
// back to the same file.
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
    const char* path = RegistrableForm(finalPath);
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    // What the narrow calls cannot open again by name (MAX_PATH) is never
    // registered.
    if (strlen(path) >= MAX_PATH) {
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

    // Held open, sharing reads only, until the first start has returned, so
    // that the file whose path is registered is the one resolved and the one
    // the manager first starts: nobody can write, replace or rename it in
    // between. The manager's own open of the program only reads and executes
    // it, which that sharing allows.
    // SECURITY_IDENTIFICATION: a path that leads to a named pipe cannot hand
    // the administrator's token to the pipe's server.
    HANDLE file = CreateFileA(ServiceExecutablePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    char servicePath[ServicePathSize];
    SC_HANDLE service = nullptr;
    if (file != INVALID_HANDLE_VALUE && ResolveServicePath(file, servicePath)) {
        if (IsOnShare(servicePath)) {
            // Whoever controls the share decides what runs as LocalSystem
            // here, and its permissions are the server's to say.
            ReportLine("Warning: %s is on a network share: the service may not start at boot, and whoever controls "
                       "the share can replace it. Keep the service on a local disk.",
                       servicePath);
        } else {
            WarnWhenServiceIsReplaceable(file, servicePath);
        }
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
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
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

    CloseHandle(file);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return exitCode;
}
