#include "replaceable.h"

#include "../installer/path_text.h"
#include "../installer/report.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#if defined(_WIN32)
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#endif

namespace {

const char* const TrustedAccountSids[] = {
    "S-1-5-18",      // SYSTEM
    "S-1-5-32-544",  // Administrators
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",  // TrustedInstaller
};

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

bool IsTrusted(const char* sid, const char* installingAccountSid)
{
    return std::any_of(std::begin(TrustedAccountSids), std::end(TrustedAccountSids),
                       [sid](const char* trusted) { return strcmp(sid, trusted) == 0; }) ||
           strcmp(sid, installingAccountSid) == 0;
}

}  // namespace

const char* FindReplacingAccount(ServiceObject object, const char* ownerSid, const AccessEntry* entries,
                                 size_t entryCount, const char* installingAccountSid)
{
    if (ownerSid != nullptr && !IsTrusted(ownerSid, installingAccountSid)) {
        return ownerSid;
    }
    const DWORD replacing = object == ServiceObject::File     ? FileReplacingRights
                            : object == ServiceObject::Folder ? FolderReplacingRights
                                                              : FolderAboveReplacingRights;
    for (size_t i = 0; i < entryCount; ++i) {
        const AccessEntry& entry = entries[i];
        if (entry.type == ACCESS_ALLOWED_ACE_TYPE && (entry.flags & INHERIT_ONLY_ACE) == 0 &&
            (entry.mask & replacing) != 0 && !IsTrusted(entry.accountSid, installingAccountSid)) {
            return entry.accountSid;
        }
    }
    return nullptr;
}

#if defined(_WIN32)

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

// The SID of the account that runs the installer.
bool InstallingAccountSid(char (&sid)[SidTextSize])
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
    const bool read = GetTokenInformation(token, TokenUser, &information, sizeof(information), &length) &&
                      CopySidText(information.user.User.Sid, sid);
    (void)CloseHandle(token);
    return read;
}

// Reads the owner and DACL of the object behind `handle` and copies the SID
// of the replacing account found there into `found` (empty when there is
// none). False when they cannot be read.
bool FindReplacingAccountOf(HANDLE handle, ServiceObject object, const char* installingSid,
                            char (&found)[SidTextSize])
{
    found[0] = '\0';
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                        nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    // No DACL at all: everyone has every right.
    const DWORD aceCount = dacl != nullptr ? dacl->AceCount : 1;
    auto* entries = static_cast<AccessEntry*>(calloc(aceCount, sizeof(AccessEntry)));
    auto* sids = static_cast<char(*)[SidTextSize]>(calloc(aceCount, SidTextSize));
    char ownerSid[SidTextSize];
    bool read = entries != nullptr && sids != nullptr && (owner == nullptr || CopySidText(owner, ownerSid));
    size_t entryCount = 0;
    if (read && dacl == nullptr) {
        (void)snprintf(sids[0], SidTextSize, "%s", "S-1-1-0");
        entries[entryCount++] = {sids[0], ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL};
    }
    for (DWORD i = 0; read && dacl != nullptr && i < aceCount; ++i) {
        LPVOID ace = nullptr;
        if (!GetAce(dacl, i, &ace)) {
            read = false;
            break;
        }
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            continue;
        }
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (!CopySidText(&allowed->SidStart, sids[entryCount])) {
            read = false;
            break;
        }
        entries[entryCount] = {sids[entryCount], header->AceType, header->AceFlags, allowed->Mask};
        ++entryCount;
    }
    if (read) {
        const char* account = FindReplacingAccount(object, owner != nullptr ? ownerSid : nullptr, entries,
                                                    entryCount, installingSid);
        if (account != nullptr) {
            (void)snprintf(found, sizeof(found), "%s", account);
        }
    }
    free(sids);
    free(entries);
    (void)LocalFree(descriptor);
    return read;
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
    size_t root = 0;
    const size_t length = strlen(path);
    if (length >= 3 && path[1] == ':' && path[2] == '\\') {
        root = 3;
    } else if (strncmp(path, "\\\\", 2) == 0) {
        const char* share = FindBackslash(path + 2);
        const char* end = share != nullptr ? FindBackslash(share + 1) : nullptr;
        root = end != nullptr ? static_cast<size_t>(end - path) + 1 : length;
    }
    if (root == 0 || length <= root) {
        return false;
    }
    const size_t last = static_cast<size_t>(FindLastBackslash(path) - path);
    path[last < root ? root : last] = '\0';
    return true;
}

}  // namespace

void WarnWhenServiceIsReplaceable(HANDLE file, const char* path)
{
    char installingSid[SidTextSize];
    if (!InstallingAccountSid(installingSid)) {
        return;
    }
    char current[PathSize];
    (void)snprintf(current, sizeof(current), "%s", path);
    ServiceObject object = ServiceObject::File;
    HANDLE handle = file;
    for (;;) {
        char account[SidTextSize];
        const bool read = FindReplacingAccountOf(handle, object, installingSid, account);
        if (handle != file) {
            (void)CloseHandle(handle);
        }
        if (!read) {
            return;
        }
        if (account[0] != '\0') {
            char name[520];
            AccountName(account, name, sizeof(name));
            ReportLine("Warning: %s can change %s. Keep the service where only administrators can change it.", name,
                       current);
            return;
        }
        if (!ToFolder(current)) {
            return;
        }
        object = object == ServiceObject::File ? ServiceObject::Folder : ServiceObject::FolderAbove;
        handle = CreateFileA(current, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                             nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            return;
        }
    }
}

#else

// Host builds have no security descriptors to read.
void WarnWhenServiceIsReplaceable(HANDLE, const char*) {}

#endif
