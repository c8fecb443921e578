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

// Who may do what to one object: its owner's SID (nullptr when it has none)
// and its DACL's entries; whether it is a volume's root, which can be
// neither deleted nor renamed; whether it is a reparse point (a folder where
// a volume is mounted), which whoever may write its data or attributes can
// re-point.
struct ObjectSecurity {
    const char* ownerSid;
    const AccessEntry* entries;
    size_t entryCount;
    bool volumeRoot;
    bool reparsePoint;
};

// The SID of the first account, other than SYSTEM, Administrators,
// TrustedInstaller and `installingAccountSid`, that can replace what the
// service runs through `object`: its owner when untrusted (an owner can
// always change the permissions, unless an OWNER RIGHTS entry says what it
// may), else the first allowing entry (conditional and object ones
// included) that applies to the object itself and grants a replacing right;
// OWNER RIGHTS entries count as the owner; CREATOR OWNER and CREATOR GROUP
// entries only say what a new child's creator gets, and grant nothing here.
// nullptr when there is none.
const char* FindReplacingAccount(ServiceObject object, const ObjectSecurity& security,
                                 const char* installingAccountSid);

// Whether the account `accountSid` itself, as owner or through an entry of
// its own, can replace what the service runs through `object`.
bool AccountCanReplace(ServiceObject object, const ObjectSecurity& security, const char* accountSid);

// Prints, for the open service file `file` whose resolved path is `path`,
// the nearest file or folder (the file, its folder, then upwards) that
// someone other than an administrator can replace: "Warning: ACCOUNT can
// change PATH. ..." for other accounts; on a split token (UAC), whose
// unelevated twin holds the same SID, first "Warning: ACCOUNT can change
// PATH without elevation. ..." for the installing account itself. A
// security descriptor or folder that cannot be read, or an allowing entry
// of a kind the walk does not read, gives "Warning: cannot tell who may
// change PATH. ..." instead of silence.
void WarnWhenServiceIsReplaceable(HANDLE file, const char* path);
