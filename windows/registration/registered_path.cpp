#include "registered_path.h"

#include "../installer/path_text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

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
