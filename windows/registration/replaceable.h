// Whether someone other than an administrator can replace the program that
// the service, running as LocalSystem, starts.
#pragma once

#include <cstdint>

#include <windows.h>

#include <cstddef>

// What an object is to the service's program.
enum class ServiceObject : std::uint8_t {
    File,         // the program itself
    Folder,       // the folder that holds it
    FolderAbove,  // every folder above, up to the volume root
};

// One entry of a DACL, with its account's SID in string form ("S-1-5-18").
struct AccessEntry {
    const char* accountSid;
    BYTE type;   // ACCESS_ALLOWED_ACE_TYPE, ...
    BYTE flags;  // INHERIT_ONLY_ACE, ...
    DWORD mask;
};

// The SID of the first account, other than SYSTEM, Administrators,
// TrustedInstaller and `installingAccountSid`, that can replace what the
// service runs through `object`: its owner when untrusted (an owner can
// always change the permissions), else the first access-allowed entry that
// applies to the object itself and grants a replacing right. nullptr when
// there is none.
const char* FindReplacingAccount(ServiceObject object, const char* ownerSid, const AccessEntry* entries,
                                 size_t entryCount, const char* installingAccountSid);

// Prints "Warning: ACCOUNT can change PATH. ..." for the finding nearest the
// open service file `file`, whose resolved path is `path` (its folder first,
// then upwards), and nothing when there is none or the security of an
// object cannot be read. Windows only; host builds print nothing.
void WarnWhenServiceIsReplaceable(HANDLE file, const char* path);
