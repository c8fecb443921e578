// The rule that decides whether an account other than an administrator can
// replace the service's program, over DACLs Wine cannot produce.
#include "../../windows/registration/replaceable.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char System[] = "S-1-5-18";
const char Administrators[] = "S-1-5-32-544";
const char TrustedInstaller[] = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
const char Installing[] = "S-1-5-21-100-200-300-1001";
const char AuthenticatedUsers[] = "S-1-5-11";
const char Users[] = "S-1-5-32-545";
const char OtherUser[] = "S-1-5-21-100-200-300-1002";

const DWORD FullControl = 0x1f01ff;
const DWORD Modify = 0x1301bf;
const DWORD ReadAndExecute = 0x1200a9;
const BYTE Inherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

TEST(ReplaceableTest, OnlyUntrustedAccountsWithAReplacingRightOnTheObjectItselfCount)
{
    struct Case {
        const char* name;
        ServiceObject object;
        const char* owner;
        std::vector<AccessEntry> entries;
        const char* found;  // nullptr: nothing to warn about
    };
    const Case cases[] = {
        {"Authenticated Users may modify the folder", ServiceObject::Folder, Administrators,
         {{AuthenticatedUsers, ACCESS_ALLOWED_ACE_TYPE, Inherited, Modify}}, AuthenticatedUsers},
        {"the same entry, inherit-only", ServiceObject::Folder, Administrators,
         {{AuthenticatedUsers, ACCESS_ALLOWED_ACE_TYPE, Inherited | INHERIT_ONLY_ACE, Modify}}, nullptr},
        {"the same entry, denying", ServiceObject::Folder, Administrators,
         {{AuthenticatedUsers, ACCESS_DENIED_ACE_TYPE, Inherited, Modify}}, nullptr},
        {"Users may read and execute", ServiceObject::Folder, Administrators,
         {{Users, ACCESS_ALLOWED_ACE_TYPE, Inherited, ReadAndExecute}}, nullptr},
        {"Users may add folders to a folder above", ServiceObject::FolderAbove, Administrators,
         {{Users, ACCESS_ALLOWED_ACE_TYPE, 0, FILE_APPEND_DATA}}, nullptr},
        {"Users may add folders beside the program", ServiceObject::Folder, Administrators,
         {{Users, ACCESS_ALLOWED_ACE_TYPE, 0, FILE_APPEND_DATA}}, Users},
        {"Users may delete children of a folder above", ServiceObject::FolderAbove, Administrators,
         {{Users, ACCESS_ALLOWED_ACE_TYPE, 0, ReadAndExecute | FILE_DELETE_CHILD}}, Users},
        {"Users may write the file", ServiceObject::File, Administrators,
         {{Users, ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_WRITE}}, Users},
        {"another user owns the file", ServiceObject::File, OtherUser,
         {{Users, ACCESS_ALLOWED_ACE_TYPE, 0, ReadAndExecute}}, OtherUser},
        {"the trusted have full control", ServiceObject::Folder, Installing,
         {{TrustedInstaller, ACCESS_ALLOWED_ACE_TYPE, 0, FullControl},
          {System, ACCESS_ALLOWED_ACE_TYPE, Inherited, FullControl},
          {Administrators, ACCESS_ALLOWED_ACE_TYPE, Inherited, FullControl},
          {Installing, ACCESS_ALLOWED_ACE_TYPE, Inherited, FullControl},
          {Users, ACCESS_ALLOWED_ACE_TYPE, Inherited, ReadAndExecute}},
         nullptr},
        {"the first finding in the list", ServiceObject::File, System,
         {{Users, ACCESS_ALLOWED_ACE_TYPE, 0, ReadAndExecute},
          {OtherUser, ACCESS_ALLOWED_ACE_TYPE, 0, DELETE},
          {AuthenticatedUsers, ACCESS_ALLOWED_ACE_TYPE, 0, WRITE_DAC}},
         OtherUser},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const char* found = FindReplacingAccount(c.object, c.owner, c.entries.data(), c.entries.size(), Installing);
        EXPECT_EQ(found == nullptr ? std::string("nothing") : std::string(found),
                  c.found == nullptr ? std::string("nothing") : std::string(c.found));
    }
}

}  // namespace
