#include "replaceable.h"

#include "../installer/report.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#if defined(_WIN32)
#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>
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

// A SID in string form ("S-1-5-32-544"), empty when it cannot be converted.
std::string SidText(PSID sid)
{
    char* text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text)) {
        return std::string();
    }
    std::string converted(text);
    (void)LocalFree(text);
    return converted;
}

// The SID of the account that runs the installer.
std::string InstallingAccountSid()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return std::string();
    }
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } information = {};
    DWORD length = 0;
    std::string sid;
    if (GetTokenInformation(token, TokenUser, &information, sizeof(information), &length)) {
        sid = SidText(information.user.User.Sid);
    }
    (void)CloseHandle(token);
    return sid;
}

// The replacing account found on the object behind `handle` (its SID), read
// from the object's owner and DACL. Answers false when they cannot be read.
bool FindReplacingAccountOf(HANDLE handle, ServiceObject object, const std::string& installingSid,
                            std::string& found)
{
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                        nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const std::string ownerSid = owner != nullptr ? SidText(owner) : std::string();
    std::vector<std::string> sids;
    std::vector<AccessEntry> entries;
    if (dacl == nullptr) {
        // No DACL at all: everyone has every right.
        sids.emplace_back("S-1-1-0");
        entries.push_back({nullptr, ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL});
    } else {
        for (DWORD i = 0; i < dacl->AceCount; ++i) {
            LPVOID ace = nullptr;
            if (!GetAce(dacl, i, &ace)) {
                continue;
            }
            const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
            if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
                continue;
            }
            const ACCESS_ALLOWED_ACE* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
            sids.push_back(SidText(const_cast<DWORD*>(&allowed->SidStart)));
            entries.push_back({nullptr, header->AceType, header->AceFlags, allowed->Mask});
        }
    }
    (void)LocalFree(descriptor);
    for (size_t i = 0; i < entries.size(); ++i) {
        entries[i].accountSid = sids[i].c_str();
    }
    const char* account = FindReplacingAccount(object, ownerSid.empty() ? nullptr : ownerSid.c_str(),
                                                entries.data(), entries.size(), installingSid.c_str());
    if (account != nullptr) {
        found = account;
    }
    return true;
}

// "DOMAIN\name", or the name alone when there is no domain, or the SID
// itself when it names no account.
std::string AccountName(const std::string& sidText)
{
    PSID sid = nullptr;
    if (!ConvertStringSidToSidA(sidText.c_str(), &sid)) {
        return sidText;
    }
    char name[256];
    char domain[256];
    DWORD nameLength = sizeof(name);
    DWORD domainLength = sizeof(domain);
    SID_NAME_USE use = SidTypeUnknown;
    std::string shown = sidText;
    if (LookupAccountSidA(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) {
        shown = domain[0] != '\0' ? std::string(domain) + "\\" + name : std::string(name);
    }
    (void)LocalFree(sid);
    return shown;
}

// Cuts `path` to its folder: "C:\Tools\x.exe" to "C:\Tools", "C:\Tools" to
// "C:\", "\\server\share\x" to "\\server\share\". False at the volume root.
bool ToFolder(std::string& path)
{
    size_t root = 0;
    if (path.size() >= 3 && path[1] == ':' && path[2] == '\\') {
        root = 3;
    } else if (path.compare(0, 2, "\\\\") == 0) {
        const size_t share = path.find('\\', 2);
        const size_t end = share == std::string::npos ? std::string::npos : path.find('\\', share + 1);
        root = end == std::string::npos ? path.size() : end + 1;
    }
    if (root == 0 || path.size() <= root) {
        return false;
    }
    const size_t last = path.find_last_of('\\');
    path.resize(last < root ? root : last);
    return true;
}

}  // namespace

void WarnWhenServiceIsReplaceable(HANDLE file, const char* path)
{
    const std::string installingSid = InstallingAccountSid();
    if (installingSid.empty()) {
        return;
    }
    std::string current(path);
    ServiceObject object = ServiceObject::File;
    HANDLE handle = file;
    for (;;) {
        std::string account;
        const bool read = FindReplacingAccountOf(handle, object, installingSid, account);
        if (handle != file) {
            (void)CloseHandle(handle);
        }
        if (!read) {
            return;
        }
        if (!account.empty()) {
            ReportLine("Warning: %s can change %s. Keep the service where only administrators can change it.",
                       AccountName(account).c_str(), current.c_str());
            return;
        }
        if (!ToFolder(current)) {
            return;
        }
        object = object == ServiceObject::File ? ServiceObject::Folder : ServiceObject::FolderAbove;
        handle = CreateFileA(current.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            return;
        }
    }
}

#else

// Host builds have no security descriptors to read.
void WarnWhenServiceIsReplaceable(HANDLE, const char*) {}

#endif
