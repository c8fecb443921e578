#include "replaceable.h"

#include "../installer/path_text.h"
#include "../installer/report.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#if defined(_WIN32)
#include <aclapi.h>
#include <sddl.h>
#endif

namespace {

const char* const TrustedAccountSids[] = {
    "S-1-5-18",      // SYSTEM
    "S-1-5-32-544",  // Administrators
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",  // TrustedInstaller
};
// OWNER RIGHTS: an entry for it gives the object's owner those rights, and
// takes away the owner's own right to change the permissions.
const char OwnerRightsSid[] = "S-1-3-4";
// CREATOR OWNER and CREATOR GROUP: no token holds them; an entry for them is
// handed down to a new child as its creator's, and grants nothing itself.
const char* const CreatorSids[] = {"S-1-3-0", "S-1-3-1"};

// Rights that let an account replace the program: by writing or deleting
// the file, or by changing who may.
const DWORD FileReplacingRights =
    FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
// On its folder also adding files or folders (a program or DLL planted beside
// it runs as LocalSystem too; FILE_ADD_FILE and FILE_ADD_SUBDIRECTORY are the
// same bits as write and append data) and deleting children.
const DWORD FolderReplacingRights = FileReplacingRights | FILE_DELETE_CHILD;
// Above it, what replaces or renames a folder on the way. Creating folders
// does not count: every user may do that on C:\, and it replaces nothing.
const DWORD FolderAboveReplacingRights = DELETE | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;
// A folder where a volume is mounted, on the way or holding the program, is
// re-pointed (FSCTL_SET_REPARSE_POINT with the same tag) by whoever may write
// its data or attributes.
const DWORD MountPointReplacingRights = FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | GENERIC_WRITE;

bool IsTrusted(const char* sid, const char* installingAccountSid)
{
    return std::any_of(std::begin(TrustedAccountSids), std::end(TrustedAccountSids),
                       [sid](const char* trusted) { return strcmp(sid, trusted) == 0; }) ||
           strcmp(sid, installingAccountSid) == 0;
}

DWORD ReplacingRights(ServiceObject object, const ObjectSecurity& security)
{
    DWORD rights = object == ServiceObject::File     ? FileReplacingRights
                   : object == ServiceObject::Folder ? FolderReplacingRights
                                                     : FolderAboveReplacingRights;
    if (object != ServiceObject::File && security.reparsePoint) {
        rights |= MountPointReplacingRights;
    }
    // A volume's root can be neither deleted nor renamed.
    return security.volumeRoot ? rights & ~static_cast<DWORD>(DELETE) : rights;
}

// The kinds of entry that allow: plain, conditional (Dynamic Access
// Control), and object entries, whose object type can only narrow them
// (counting them whole is the safe side).
bool IsAllowing(BYTE type)
{
    return type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE ||
           type == ACCESS_ALLOWED_OBJECT_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
}

bool IsCreator(const char* sid)
{
    return std::any_of(std::begin(CreatorSids), std::end(CreatorSids),
                       [sid](const char* creator) { return strcmp(sid, creator) == 0; });
}

// An entry that grants, on the object itself: an allowing one, not only
// inherited by others, for an account a token can hold.
bool GrantsOnObject(const AccessEntry& entry, DWORD rights)
{
    return IsAllowing(entry.type) && (entry.flags & INHERIT_ONLY_ACE) == 0 && (entry.mask & rights) != 0 &&
           !IsCreator(entry.accountSid);
}

// Whether the owner can replace the object: by changing its permissions,
// unless an OWNER RIGHTS entry on it says what the owner may; then by what
// those entries grant.
bool OwnerCanReplace(const ObjectSecurity& security, DWORD rights)
{
    bool ownerRightsSaid = false;
    bool ownerRightsReplace = false;
    for (size_t i = 0; i < security.entryCount; ++i) {
        const AccessEntry& entry = security.entries[i];
        if (strcmp(entry.accountSid, OwnerRightsSid) == 0 && (entry.flags & INHERIT_ONLY_ACE) == 0) {
            ownerRightsSaid = true;
            ownerRightsReplace = ownerRightsReplace || GrantsOnObject(entry, rights);
        }
    }
    return !ownerRightsSaid || ownerRightsReplace;
}

}  // namespace

const char* FindReplacingAccount(ServiceObject object, const ObjectSecurity& security,
                                 const char* installingAccountSid)
{
    const DWORD rights = ReplacingRights(object, security);
    const char* owner = security.ownerSid;
    if (owner != nullptr && !IsTrusted(owner, installingAccountSid) && OwnerCanReplace(security, rights)) {
        return owner;
    }
    for (size_t i = 0; i < security.entryCount; ++i) {
        const AccessEntry& entry = security.entries[i];
        if (strcmp(entry.accountSid, OwnerRightsSid) != 0 && GrantsOnObject(entry, rights) &&
            !IsTrusted(entry.accountSid, installingAccountSid)) {
            return entry.accountSid;
        }
    }
    return nullptr;
}

bool AccountCanReplace(ServiceObject object, const ObjectSecurity& security, const char* accountSid)
{
    const DWORD rights = ReplacingRights(object, security);
    if (security.ownerSid != nullptr && strcmp(security.ownerSid, accountSid) == 0 &&
        OwnerCanReplace(security, rights)) {
        return true;
    }
    return std::any_of(security.entries, security.entries + security.entryCount, [&](const AccessEntry& entry) {
        return strcmp(entry.accountSid, accountSid) == 0 && GrantsOnObject(entry, rights);
    });
}

namespace {

// A SID in string form ("S-1-5-32-544") and its terminator: "S-1-", an
// authority of up to 15 digits and up to 15 parts of up to 11 characters.
const size_t SidTextSize = 192;
// The path of the file or folder the warning names.
const size_t PathSize = 1024;

// Writes a SID's string form into `text`; false when it cannot.
bool CopySidText(PSID sid, char (&text)[SidTextSize])
{
    char* converted = nullptr;
    if (!ConvertSidToStringSidA(sid, &converted)) {
        return false;
    }
    (void)snprintf(text, sizeof(text), "%s", converted);
    (void)LocalFree(converted);
    return true;
}

// The SID of the account that runs the installer, and whether its token is
// split (UAC): then its unelevated twin, which any program the account runs
// without elevation has, holds the same SID.
bool ReadInstallingAccount(char (&sid)[SidTextSize], bool& split)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } information = {};
    DWORD length = 0;
    TOKEN_ELEVATION_TYPE elevationType = TokenElevationTypeDefault;
    const bool read = GetTokenInformation(token, TokenUser, &information, sizeof(information), &length) &&
                      CopySidText(information.user.User.Sid, sid) &&
                      GetTokenInformation(token, TokenElevationType, &elevationType, sizeof(elevationType),
                                          &length);
    (void)CloseHandle(token);
    split = elevationType != TokenElevationTypeDefault;
    return read;
}

// The owner and DACL of the object behind a handle, in string form.
struct ReadSecurity {
    ObjectSecurity security;
    char ownerSid[SidTextSize];
    AccessEntry* entries;
    char (*sids)[SidTextSize];
};

// Where an allowing entry's SID starts: after the mask in a plain or
// conditional one; in an object one after its flags and the object types
// they say are present. 0 for a kind the walk does not read, or a SID that
// would start outside the entry.
size_t SidOffset(const ACE_HEADER* header)
{
    if (!IsAllowing(header->AceType)) {
        return 0;
    }
    size_t offset = offsetof(ACCESS_ALLOWED_ACE, SidStart);
    if (header->AceType == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
        header->AceType == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE) {
        const auto* allowed = reinterpret_cast<const ACCESS_ALLOWED_OBJECT_ACE*>(header);
        offset = offsetof(ACCESS_ALLOWED_OBJECT_ACE, ObjectType);
        offset += (allowed->Flags & ACE_OBJECT_TYPE_PRESENT) != 0 ? sizeof(GUID) : 0;
        offset += (allowed->Flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) != 0 ? sizeof(GUID) : 0;
    }
    return offset < header->AceSize ? offset : 0;
}

// Whether an entry only takes rights away: denying entries, plain,
// conditional or object ones. What they take away is not weighed.
bool IsDenying(BYTE type)
{
    return type == ACCESS_DENIED_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_ACE_TYPE ||
           type == ACCESS_DENIED_OBJECT_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE;
}

// Reads the owner and DACL of the object behind `handle`; false when they
// cannot be read, or an entry is of a kind that is neither a denying one
// nor an allowing one the walk reads (it could allow anything).
// FreeSecurity releases what it holds, read or not.
bool ReadSecurityOf(HANDLE handle, bool volumeRoot, bool reparsePoint, ReadSecurity& read)
{
    read = {};
    read.security.volumeRoot = volumeRoot;
    read.security.reparsePoint = reparsePoint;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                        nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    // No DACL at all: everyone has every right.
    const DWORD aceCount = dacl != nullptr ? dacl->AceCount : 1;
    read.entries = static_cast<AccessEntry*>(calloc(aceCount, sizeof(AccessEntry)));
    read.sids = static_cast<char(*)[SidTextSize]>(calloc(aceCount, SidTextSize));
    bool readable = read.entries != nullptr && read.sids != nullptr &&
                    (owner == nullptr || CopySidText(owner, read.ownerSid));
    size_t entryCount = 0;
    if (readable && dacl == nullptr) {
        (void)snprintf(read.sids[0], SidTextSize, "%s", "S-1-1-0");
        read.entries[entryCount++] = {read.sids[0], ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL};
    }
    for (DWORD i = 0; readable && dacl != nullptr && i < aceCount; ++i) {
        LPVOID ace = nullptr;
        if (!GetAce(dacl, i, &ace)) {
            readable = false;
            break;
        }
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
        if (IsDenying(header->AceType)) {
            continue;
        }
        // Every allowing kind has its mask right after the header; a
        // conditional one has its condition after the SID.
        const size_t sidOffset = SidOffset(header);
        if (sidOffset == 0 ||
            !CopySidText(static_cast<BYTE*>(ace) + sidOffset, read.sids[entryCount])) {
            readable = false;
            break;
        }
        const DWORD mask = static_cast<ACCESS_ALLOWED_ACE*>(ace)->Mask;
        read.entries[entryCount] = {read.sids[entryCount], header->AceType, header->AceFlags, mask};
        ++entryCount;
    }
    (void)LocalFree(descriptor);
    read.security.ownerSid = owner != nullptr ? read.ownerSid : nullptr;
    read.security.entries = read.entries;
    read.security.entryCount = entryCount;
    return readable;
}

void FreeSecurity(ReadSecurity& read)
{
    free(read.sids);
    free(read.entries);
    read = {};
}

// "DOMAIN\name", or the name alone when there is no domain, or the SID
// itself when it names no account.
void AccountName(const char* sidText, char* shown, size_t shownSize)
{
    (void)snprintf(shown, shownSize, "%s", sidText);
    PSID sid = nullptr;
    if (!ConvertStringSidToSidA(sidText, &sid)) {
        return;
    }
    char name[256];
    char domain[256];
    DWORD nameLength = sizeof(name);
    DWORD domainLength = sizeof(domain);
    SID_NAME_USE use = SidTypeUnknown;
    if (LookupAccountSidA(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) {
        (void)snprintf(shown, shownSize, "%s%s%s", domain, domain[0] != '\0' ? "\\" : "", name);
    }
    (void)LocalFree(sid);
}

// Cuts `path` to its folder: "C:\Tools\x.exe" to "C:\Tools", "C:\Tools" to
// "C:\", "\\server\share\x" to "\\server\share\". False at the volume root.
// Only a '\' that is a character of its own separates.
bool ToFolder(char* path)
{
    const size_t root = VolumeRootLength(path);
    if (root == 0 || strlen(path) <= root) {
        return false;
    }
    const size_t last = static_cast<size_t>(FindLastBackslash(path) - path);
    path[last < root ? root : last] = '\0';
    return true;
}

void ReportUnknown(const char* path)
{
    ReportLine("Warning: cannot tell who may change %s. Keep the service where only administrators can change it.",
               path);
}

// What the walk has found so far: the nearest object the installing
// account itself can replace (said only on a split token), the nearest
// another account can, and the first whose security could not be read.
struct Findings {
    bool split;
    char installingSid[SidTextSize];
    char ownPath[PathSize];
    char otherSid[SidTextSize];
    char otherPath[PathSize];
    char unknownPath[PathSize];
};

// Reads who may replace the object behind `handle` (named `path`) into
// `found`, and closes the handle unless it is the service file's. False
// when the walk is over: the security cannot be read, or all that is to be
// said is found.
bool Examine(HANDLE handle, HANDLE file, ServiceObject object, bool volumeRoot, bool reparsePoint, const char* path,
             Findings& found)
{
    ReadSecurity read = {};
    const bool readable = ReadSecurityOf(handle, volumeRoot, reparsePoint, read);
    if (handle != file) {
        (void)CloseHandle(handle);
    }
    if (!readable) {
        FreeSecurity(read);
        (void)snprintf(found.unknownPath, sizeof(found.unknownPath), "%s", path);
        return false;
    }
    if (found.split && found.ownPath[0] == '\0' && AccountCanReplace(object, read.security, found.installingSid)) {
        (void)snprintf(found.ownPath, sizeof(found.ownPath), "%s", path);
    }
    const char* other =
        found.otherSid[0] == '\0' ? FindReplacingAccount(object, read.security, found.installingSid) : nullptr;
    if (other != nullptr) {
        (void)snprintf(found.otherSid, sizeof(found.otherSid), "%s", other);
        (void)snprintf(found.otherPath, sizeof(found.otherPath), "%s", path);
    }
    FreeSecurity(read);
    return !((found.ownPath[0] != '\0' || !found.split) && found.otherSid[0] != '\0');
}

// Opens a folder on the way to read its security: as itself, so that a
// folder where a volume is mounted is read and not only the volume's root
// (`followed` false), or followed, for that volume's root.
HANDLE OpenFolder(const char* path, bool followed)
{
    const DWORD asItself = followed ? 0 : FILE_FLAG_OPEN_REPARSE_POINT;
    return CreateFileA(path, READ_CONTROL | FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | asItself | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                       nullptr);
}

}  // namespace

void WarnWhenServiceIsReplaceable(HANDLE file, const char* path)
{
    Findings found = {};
    found.split = true;
    if (!ReadInstallingAccount(found.installingSid, found.split)) {
        ReportUnknown(path);
        return;
    }

    char current[PathSize];
    (void)snprintf(current, sizeof(current), "%s", path);
    ServiceObject object = ServiceObject::File;
    HANDLE handle = file;
    for (;;) {
        // A folder where a volume is mounted (a reparse point on the way of
        // a resolved path): the mounted volume's root first, the nearer one,
        // then the folder itself, which whoever may replace or write can
        // re-point.
        BY_HANDLE_FILE_INFORMATION information = {};
        const bool mountPoint = handle != file && GetFileInformationByHandle(handle, &information) &&
                                (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (mountPoint) {
            HANDLE root = OpenFolder(current, true);
            if (root == INVALID_HANDLE_VALUE) {
                (void)CloseHandle(handle);
                (void)snprintf(found.unknownPath, sizeof(found.unknownPath), "%s", current);
                break;
            }
            if (!Examine(root, file, object, true, false, current, found)) {
                (void)CloseHandle(handle);
                break;
            }
        }
        if (!Examine(handle, file, object, VolumeRootLength(current) == strlen(current), mountPoint, current,
                     found) ||
            !ToFolder(current)) {
            break;
        }
        object = object == ServiceObject::File ? ServiceObject::Folder : ServiceObject::FolderAbove;
        handle = OpenFolder(current, false);
        if (handle == INVALID_HANDLE_VALUE) {
            (void)snprintf(found.unknownPath, sizeof(found.unknownPath), "%s", current);
            break;
        }
    }

    char name[520];
    if (found.ownPath[0] != '\0') {
        AccountName(found.installingSid, name, sizeof(name));
        ReportLine("Warning: %s can change %s without elevation. Keep the service where only administrators can "
                   "change it.",
                   name, found.ownPath);
    }
    if (found.otherSid[0] != '\0') {
        AccountName(found.otherSid, name, sizeof(name));
        ReportLine("Warning: %s can change %s. Keep the service where only administrators can change it.", name,
                   found.otherPath);
    }
    if (found.unknownPath[0] != '\0') {
        ReportUnknown(found.unknownPath);
    }
}
