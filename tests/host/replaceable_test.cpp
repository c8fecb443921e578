// Who other than an administrator can replace the service's program: the
// rule over DACLs Wine cannot produce, and the walk up from the program.
#include "installer_run.h"
#include "said.h"

#include "../../windows/registration/replaceable.h"

namespace {

const char System[] = "S-1-5-18";
const char Administrators[] = "S-1-5-32-544";
const char TrustedInstaller[] = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
const char Installing[] = "S-1-5-21-100-200-300-1001";
const char AuthenticatedUsers[] = "S-1-5-11";
const char Users[] = "S-1-5-32-545";
const char OtherUser[] = "S-1-5-21-100-200-300-1002";
const char OwnerRights[] = "S-1-3-4";

const DWORD FullControl = 0x1f01ff;
const DWORD Modify = 0x1301bf;
const DWORD ReadAndExecute = 0x1200a9;
const BYTE Inherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
const BYTE Allowed = ACCESS_ALLOWED_ACE_TYPE;

TEST(ReplaceableTest, OnlyAReplacingRightOnTheObjectItselfCounts)
{
    struct Case {
        const char* name;
        ServiceObject object;
        bool volumeRoot;
        const char* owner;
        std::vector<AccessEntry> entries;
        const char* found;    // another account that can replace it; nullptr: none
        bool installingCan;   // whether the installing account itself can
    };
    const Case cases[] = {
        {"Authenticated Users may modify the folder", ServiceObject::Folder, false, Administrators,
         {{AuthenticatedUsers, Allowed, Inherited, Modify}}, AuthenticatedUsers, false},
        {"the same entry, inherit-only", ServiceObject::Folder, false, Administrators,
         {{AuthenticatedUsers, Allowed, Inherited | INHERIT_ONLY_ACE, Modify}}, nullptr, false},
        {"the same entry, denying", ServiceObject::Folder, false, Administrators,
         {{AuthenticatedUsers, ACCESS_DENIED_ACE_TYPE, Inherited, Modify}}, nullptr, false},
        {"the same entry, conditional", ServiceObject::Folder, false, Administrators,
         {{AuthenticatedUsers, ACCESS_ALLOWED_CALLBACK_ACE_TYPE, Inherited, Modify}}, AuthenticatedUsers, false},
        {"Users may read and execute", ServiceObject::Folder, false, Administrators,
         {{Users, Allowed, Inherited, ReadAndExecute}}, nullptr, false},
        {"Users may add folders to a folder above", ServiceObject::FolderAbove, false, Administrators,
         {{Users, Allowed, 0, FILE_APPEND_DATA}}, nullptr, false},
        {"Users may add folders beside the program", ServiceObject::Folder, false, Administrators,
         {{Users, Allowed, 0, FILE_APPEND_DATA}}, Users, false},
        {"Users may delete children of a folder above", ServiceObject::FolderAbove, false, Administrators,
         {{Users, Allowed, 0, ReadAndExecute | FILE_DELETE_CHILD}}, Users, false},
        {"Users may write the file", ServiceObject::File, false, Administrators,
         {{Users, Allowed, 0, GENERIC_WRITE}}, Users, false},
        {"another user owns the file", ServiceObject::File, false, OtherUser,
         {{Users, Allowed, 0, ReadAndExecute}}, OtherUser, false},
        {"the trusted have full control", ServiceObject::Folder, false, Installing,
         {{TrustedInstaller, Allowed, 0, FullControl}, {System, Allowed, Inherited, FullControl},
          {Administrators, Allowed, Inherited, FullControl}, {Installing, Allowed, Inherited, FullControl},
          {Users, Allowed, Inherited, ReadAndExecute}},
         nullptr, true},
        {"the first finding in the list", ServiceObject::File, false, System,
         {{Users, Allowed, 0, ReadAndExecute}, {OtherUser, Allowed, 0, DELETE},
          {AuthenticatedUsers, Allowed, 0, WRITE_DAC}},
         OtherUser, false},
        // A volume's root can be neither deleted nor renamed.
        {"Modify on a data drive's root", ServiceObject::FolderAbove, true, Administrators,
         {{AuthenticatedUsers, Allowed, 0, Modify}}, nullptr, false},
        {"deleting children of the root", ServiceObject::FolderAbove, true, Administrators,
         {{AuthenticatedUsers, Allowed, 0, Modify | FILE_DELETE_CHILD}}, AuthenticatedUsers, false},
        {"changing the root's permissions", ServiceObject::FolderAbove, true, Administrators,
         {{AuthenticatedUsers, Allowed, 0, ReadAndExecute | WRITE_DAC}}, AuthenticatedUsers, false},
        {"the program at the root: adding files beside it", ServiceObject::Folder, true, Administrators,
         {{AuthenticatedUsers, Allowed, 0, Modify}}, AuthenticatedUsers, false},
        // OWNER RIGHTS is the owner, and says what the owner may.
        {"OWNER RIGHTS under a trusted owner", ServiceObject::Folder, false, Administrators,
         {{OwnerRights, Allowed, 0, Modify}}, nullptr, false},
        {"OWNER RIGHTS under another owner", ServiceObject::Folder, false, OtherUser,
         {{OwnerRights, Allowed, 0, Modify}}, OtherUser, false},
        {"another owner left only reading by OWNER RIGHTS", ServiceObject::File, false, OtherUser,
         {{OwnerRights, Allowed, 0, ReadAndExecute}}, nullptr, false},
        // The installing account's own rights, said on a split token.
        {"the installing account owns the file", ServiceObject::File, false, Installing,
         {{Users, Allowed, 0, ReadAndExecute}}, nullptr, true},
        {"the installing account may modify the folder", ServiceObject::Folder, false, Administrators,
         {{Installing, Allowed, Inherited, Modify}}, nullptr, true},
        {"the installing account owns it, OWNER RIGHTS reading", ServiceObject::File, false, Installing,
         {{OwnerRights, Allowed, 0, ReadAndExecute}}, nullptr, false},
        // No token holds CREATOR OWNER or CREATOR GROUP: a new child's creator gets those rights.
        {"CREATOR OWNER and CREATOR GROUP may modify", ServiceObject::Folder, false, Administrators,
         {{"S-1-3-0", Allowed, Inherited, Modify}, {"S-1-3-1", Allowed, 0, Modify}}, nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ObjectSecurity security = {c.owner, c.entries.data(), c.entries.size(), c.volumeRoot, false};
        const char* found = FindReplacingAccount(c.object, security, Installing);
        EXPECT_EQ(found == nullptr ? std::string("nothing") : std::string(found),
                  c.found == nullptr ? std::string("nothing") : std::string(c.found));
        EXPECT_EQ(AccountCanReplace(c.object, security, Installing), c.installingCan);
    }
}

using ReplaceableWalkTest = InstallerRun;

const char WalkInstalling[] = "S-1-5-21-7-8-9-1001";  // the double's account, HOST\\admin
const AccessEntryText EveryoneModifies = {"S-1-1-0", ACCESS_ALLOWED_ACE_TYPE, 0, 0x1301ff};
const AccessEntryText AccountModifies = {WalkInstalling, ACCESS_ALLOWED_ACE_TYPE, 0, Modify};

// The lines between "Creating service..." and "... has been created." for
// a program in C:\Tools, or on a data drive.
TEST_F(ReplaceableWalkTest, TheNearestFindingsAreSaidAndNothingUnreadIsTakenAsSafe)
{
    const std::string program = "C:\\Tools\\quendarixservice.exe";
    struct Case {
        const char* name;
        TOKEN_ELEVATION_TYPE token;
        void (*script)();
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"the account's own file, a token that is not split", TokenElevationTypeDefault,
         [] { Fake.objects["C:\\Tools\\quendarixservice.exe"].owner = WalkInstalling; },
         {}},
        {"the account's own file, a split token", TokenElevationTypeFull,
         [] { Fake.objects["C:\\Tools\\quendarixservice.exe"].owner = WalkInstalling; },
         {Said::CanChangeUnelevated("HOST\\admin", program)}},
        {"the account's folder and Everyone on C:\\, a split token", TokenElevationTypeLimited,
         [] {
             Fake.objects["C:\\Tools"].entries.push_back(AccountModifies);
             Fake.objects["C:\\"].entries.push_back(EveryoneModifies);
         },
         {Said::CanChangeUnelevated("HOST\\admin", "C:\\Tools"), Said::CanChange("Everyone", "C:\\")}},
        {"the same, a token that is not split", TokenElevationTypeDefault,
         [] {
             Fake.objects["C:\\Tools"].entries.push_back(AccountModifies);
             Fake.objects["C:\\"].entries.push_back(EveryoneModifies);
         },
         {Said::CanChange("Everyone", "C:\\")}},
        {"a descriptor that cannot be read", TokenElevationTypeDefault,
         [] {
             Fake.objects["C:\\Tools"].readable = false;
         },
         {Said::CannotTell("C:\\Tools")}},
        {"a folder that cannot be opened", TokenElevationTypeDefault,
         [] { Fake.objects["C:\\"].opens = false; },
         {Said::CannotTell("C:\\")}},
        {"a data drive's root open to Authenticated Users", TokenElevationTypeDefault,
         [] {
             Fake.finalPath = "\\\\?\\D:\\Q\\quendarixservice.exe";
             Fake.objects["D:\\"].entries.push_back({"S-1-5-11", ACCESS_ALLOWED_ACE_TYPE, 0, Modify});
         },
         {}},
        {"a folder where a volume is mounted, read as itself", TokenElevationTypeDefault,
         [] {
             Fake.finalPath = "\\\\?\\C:\\Mnt\\Vol\\Q\\quendarixservice.exe";
             Fake.objects["C:\\Mnt\\Vol"].reparsePoint = true;
             Fake.objects["C:\\Mnt\\Vol"].entries.push_back(EveryoneModifies);
             Fake.objects["C:\\Mnt\\Vol\\"].entries.push_back({"S-1-5-11", ACCESS_ALLOWED_ACE_TYPE, 0, Modify});
         },
         {Said::CanChange("Everyone", "C:\\Mnt\\Vol")}},
        // A mount-point folder is re-pointed by writing its data or attributes.
        {"a mount-point folder above, Users writing its data", TokenElevationTypeDefault,
         [] {
             Fake.finalPath = "\\\\?\\C:\\Mnt\\Vol\\Q\\quendarixservice.exe";
             Fake.objects["C:\\Mnt\\Vol"].reparsePoint = true;
             Fake.objects["C:\\Mnt\\Vol"].entries.push_back({Users, ACCESS_ALLOWED_ACE_TYPE, 0, FILE_WRITE_DATA});
         },
         {Said::CanChange("BUILTIN\\Users", "C:\\Mnt\\Vol")}},
        {"the mount-point folder holding it, Users writing its attributes", TokenElevationTypeDefault,
         [] {
             Fake.finalPath = "\\\\?\\C:\\Mnt\\Vol\\quendarixservice.exe";
             Fake.objects["C:\\Mnt\\Vol"].reparsePoint = true;
             Fake.objects["C:\\Mnt\\Vol"].entries.push_back({Users, ACCESS_ALLOWED_ACE_TYPE, 0, FILE_WRITE_ATTRIBUTES});
         },
         {Said::CanChange("BUILTIN\\Users", "C:\\Mnt\\Vol")}},
        // Every allowing entry is weighed; one of a kind the walk does not read (0x4, compound) may allow anything.
        {"an object entry", TokenElevationTypeDefault,
         [] {
             Fake.objects["C:\\Tools"].entries.push_back({"S-1-1-0", ACCESS_ALLOWED_OBJECT_ACE_TYPE, 0, Modify});
         },
         {Said::CanChange("Everyone", "C:\\Tools")}},
        {"an allowing entry of an unknown kind", TokenElevationTypeDefault,
         [] { Fake.objects["C:\\Tools"].entries.push_back({"S-1-1-0", 0x4, 0, ReadAndExecute}); },
         {Said::CannotTell("C:\\Tools")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetFakePlatform();
        Fake.elevationType = c.token;
        c.script();
        PlaceFile(program);
        const RunOutcome outcome = Run({"C:\\Tools\\quendarixinstall.exe"});
        EXPECT_EQ(outcome.exitCode, Said::ExitSuccess);
        std::vector<std::string> lines = {Said::Creating};
        lines.insert(lines.end(), c.lines.begin(), c.lines.end());
        lines.push_back(Said::Created);
        EXPECT_NE(outcome.console.find(Lines(lines)), std::string::npos) << outcome.console;
    }
}

}  // namespace
