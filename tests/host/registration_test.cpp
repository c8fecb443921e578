// Installing and removing the service, against the scripted manager.
#include "installer_run.h"
#include "said.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "product.h"

namespace {

const std::string Installer = "C:\\Tools\\quendarixinstall.exe";
const std::string Service = "C:\\Tools\\quendarixservice.exe";
const std::vector<std::string> ProbeLines = {Said::Argv0(Installer), Said::Found(Service)};

const std::string OpenManager = "OpenSCManagerA(null,null,0xf003f)";
const std::string OpenFile = "CreateFileA(" + Service + ")";
const std::string CloseFile = "CloseHandle(file)";
// The path about to be registered, opened again to see that it is the file held.
const std::string Reopen = "CreateFileA(" + Service + ",attributes)";
const std::string CloseReopened = "CloseHandle(reopened)";
const std::string Create = std::string("CreateServiceA(manager,") + QUENDARIX_SERVICE_NAME + "," +
                           QUENDARIX_DISPLAY_NAME + ",0xf01ff,0x10,0x2,0x1," + Service + ",null,null,null,null,null)";
const std::string Describe = std::string("ChangeServiceConfig2A(service,1,") + QUENDARIX_DESCRIPTION + ")";
const std::string Query = "QueryServiceStatus(service)";
const std::string Start = "StartServiceA(service,0,null)";
const std::string OpenService = std::string("OpenServiceA(manager,") + QUENDARIX_SERVICE_NAME + ",0xf003f)";
const std::string Stop = "ControlService(service,1)";
const std::string Delete = "DeleteService(service)";
const std::string CloseService = "CloseServiceHandle(service)";
const std::string CloseManager = "CloseServiceHandle(manager)";

struct Scenario {
    const char* name;
    void (*script)();
    int exitCode;
    std::vector<std::string> lines;  // after the probe lines
    std::vector<std::string> calls;  // the manager's, the service file's and the errors read, in order
};

class RegistrationTest : public InstallerRun {
protected:
    void Check(const Scenario& s, const std::vector<std::string>& arguments)
    {
        SCOPED_TRACE(s.name);
        ResetFakePlatform();
        s.script();
        PlaceFile(Service);
        const RunOutcome outcome = Run(arguments);
        std::vector<std::string> lines = ProbeLines;
        lines.insert(lines.end(), s.lines.begin(), s.lines.end());
        EXPECT_EQ(outcome.exitCode, s.exitCode);
        EXPECT_EQ(outcome.console, Lines(lines));
        EXPECT_EQ(outcome.log, outcome.console);
        EXPECT_EQ(RegistrationCalls(), s.calls);
    }

    // The calls these tests are about: the Service Control Manager's, the
    // service file's opens and closes, and the errors read; not the
    // elevation check's nor the permissions walk's (tests of their own).
    static std::vector<std::string> RegistrationCalls()
    {
        static const char* const managerCalls[] = {"OpenSCManagerA(", "CreateServiceA(", "ChangeServiceConfig2A(",
                                                   "QueryServiceStatus(", "StartServiceA(", "OpenServiceA(",
                                                   "ControlService(", "DeleteService(", "CloseServiceHandle("};
        std::vector<std::string> calls;
        std::copy_if(Fake.calls.begin(), Fake.calls.end(), std::back_inserter(calls), [](const std::string& call) {
            return std::any_of(std::begin(managerCalls), std::end(managerCalls),
                               [&](const char* name) { return call.rfind(name, 0) == 0; }) ||
                   call == OpenFile || call == Reopen || call == CloseFile || call == CloseReopened ||
                   call == "GetLastError";
        });
        return calls;
    }
};

TEST_F(RegistrationTest, Install)
{
    const Scenario scenarios[] = {
        {"created, described and started", [] {}, Said::ExitSuccess,
         {Said::Creating, Said::Created, Said::Status("SERVICE_STOPPED", "0x1"),
          Said::Started},
         {OpenManager, OpenFile, Reopen, CloseReopened, Create, Describe, Query, Start, CloseFile, CloseService, CloseManager}},
        {"already exists", [] { Fake.createError = 0x431; }, Said::ExitServiceNotInstalled,
         {Said::Creating, Said::CreateFailed("0x431")},
         {OpenManager, OpenFile, Reopen, CloseReopened, Create, "GetLastError", CloseFile, CloseManager}},
        {"description refused", [] { Fake.describeError = 0x5; }, Said::ExitSuccess,
         {Said::Creating, Said::Created, Said::DescribeFailed("0x5"),
          Said::Status("SERVICE_STOPPED", "0x1"), Said::Started},
         {OpenManager, OpenFile, Reopen, CloseReopened, Create, Describe, "GetLastError", Query, Start, CloseFile, CloseService, CloseManager}},
        {"state unreadable", [] { Fake.queryError = 0x1a; }, Said::ExitSuccess,
         {Said::Creating, Said::Created, Said::QueryFailed("0x1a"),
          Said::Started},
         {OpenManager, OpenFile, Reopen, CloseReopened, Create, Describe, Query, "GetLastError", Start, CloseFile, CloseService, CloseManager}},
        {"last named state", [] { Fake.currentState = 7; }, Said::ExitSuccess,
         {Said::Creating, Said::Created, Said::Status("SERVICE_PAUSED", "0x7"),
          Said::Started},
         {OpenManager, OpenFile, Reopen, CloseReopened, Create, Describe, Query, Start, CloseFile, CloseService, CloseManager}},
        {"state above 7", [] { Fake.currentState = 8; }, Said::ExitSuccess,
         {Said::Creating, Said::Created, Said::Started},
         {OpenManager, OpenFile, Reopen, CloseReopened, Create, Describe, Query, Start, CloseFile, CloseService, CloseManager}},
        {"state far above 7", [] { Fake.currentState = 0xffffffff; }, Said::ExitSuccess,
         {Said::Creating, Said::Created, Said::Started},
         {OpenManager, OpenFile, Reopen, CloseReopened, Create, Describe, Query, Start, CloseFile, CloseService, CloseManager}},
        {"start refused, registration kept", [] { Fake.startError = 0xc1; }, Said::ExitServiceNotInstalled,
         {Said::Creating, Said::Created, Said::Status("SERVICE_STOPPED", "0x1"),
          Said::StartFailed("0xc1")},
         {OpenManager, OpenFile, Reopen, CloseReopened, Create, Describe, Query, Start, "GetLastError", CloseFile, CloseService, CloseManager}},
        {"manager unavailable", [] { Fake.managerOpens = false; }, Said::ExitServiceManagerUnavailable,
         {Said::ManagerUnavailable},
         {OpenManager}},
    };
    for (const Scenario& s : scenarios) Check(s, {Installer});
}

TEST_F(RegistrationTest, Uninstall)
{
    const Scenario scenarios[] = {
        {"running service removed", [] {}, Said::ExitSuccess, {Said::Deleted},
         {OpenManager, OpenService, Stop, Delete, CloseService, CloseManager}},
        {"stopped service removed", [] { Fake.stopError = 0x426; }, Said::ExitSuccess,
         {Said::StopFailed("0x426"), Said::Deleted},
         {OpenManager, OpenService, Stop, "GetLastError", Delete, CloseService, CloseManager}},
        {"no such service", [] { Fake.openServiceError = 0x424; }, Said::ExitServiceNotRemoved, {Said::OpenFailed},
         {OpenManager, OpenService, CloseManager}},
        {"deletion refused", [] { Fake.stopError = 0x5; Fake.deleteError = 0x5; }, Said::ExitServiceNotRemoved,
         {Said::StopFailed("0x5"), Said::DeleteFailed("0x5")},
         {OpenManager, OpenService, Stop, "GetLastError", Delete, "GetLastError", CloseService, CloseManager}},
        {"already marked for deletion", [] { Fake.deleteError = 0x430; }, Said::ExitSuccess,
         {Said::DeleteFailed("0x430")},
         {OpenManager, OpenService, Stop, Delete, "GetLastError", CloseService, CloseManager}},
        {"manager unavailable", [] { Fake.managerOpens = false; }, Said::ExitServiceManagerUnavailable,
         {Said::ManagerUnavailable},
         {OpenManager}},
    };
    for (const Scenario& s : scenarios) Check(s, {Installer, "/Uninstall"});
}

// Wine shows resolved paths; what it cannot show is a share's path, the
// forms of answer of a volume without a drive letter, the limits of the
// registered path's length, and file ids that prove nothing.
TEST_F(RegistrationTest, TheResolvedPathIsRegisteredWhenItIsTheFileFound)
{
    const std::string longest = "C:\\" + std::string(MAX_PATH - 4, 'x');  // 259 characters: opened again by name
    const std::string longestShare = "\\\\s\\" + std::string(MAX_PATH - 5, 's');
    const std::string tooLong = Said::CreateFailed("0xce");
    const std::string notTheFile = Said::CreateFailed("0x7b");
    const std::string share = "\\\\server\\share\\Q\\quendarixservice.exe";
    struct Case {
        const char* name;
        std::string finalPath;
        std::string registered;  // the binary path, or the creation failure line
        void (*script)() = [] {};
        std::string warning = "";  // a line after "Creating service..."
    };
    const Case cases[] = {
        {"a share", "\\\\?\\UNC\\server\\share\\Q\\quendarixservice.exe", share, [] {}, Said::OnShare(share)},
        {"a mapped drive's letter", "\\\\?\\Z:\\Q\\quendarixservice.exe", "Z:\\Q\\quendarixservice.exe",
         [] { Fake.driveType = DRIVE_REMOTE; }, Said::OnShare("Z:\\Q\\quendarixservice.exe")},
        {"the longest path", "\\\\?\\" + longest, longest},
        {"one character more", "\\\\?\\" + longest + "x", tooLong},
        {"the longest share path", "\\\\?\\UNC" + longestShare.substr(1), longestShare, [] {},
         Said::OnShare(longestShare)},
        {"a share path one character more", "\\\\?\\UNC" + longestShare.substr(1) + "s", tooLong},
        {"the file cannot be opened", "", Said::CreateFailed("0x20"), [] { Fake.openFileError = 0x20; }},
        // Only a drive or share path is registered, never the path as typed
        // in its place: a volume without a drive letter of its own (the
        // documented ERROR_PATH_NOT_FOUND) is the call's own failure, and any
        // other form of answer is 0x7b.
        {"no drive letter", "", Said::CreateFailed("0x3"), [] { Fake.resolveError = 0x3; }},
        {"a volume GUID path", "\\\\?\\Volume{5e1f}\\Q\\quendarixservice.exe", notTheFile},
        {"a GLOBALROOT path", "\\\\?\\GLOBALROOT\\Device\\Q\\quendarixservice.exe", notTheFile},
        {"Wine's path outside every drive", "\\\\?\\unix\\tmp\\quendarixservice.exe", notTheFile},
        {"a relative answer", "Volume{5e1f}\\quendarixservice.exe", notTheFile},
        {"access denied on a share's folder", "", Said::CreateFailed("0x5"), [] { Fake.resolveError = 0x5; }},
        {"a real path longer than the answer (Wine)", "", Said::CreateFailed("0xea"), [] { Fake.resolveError = 0xea; }},
        // A best-fit look-alike of the real name: nothing there, or another file.
        {"the path names nothing", "\\\\?\\C:\\Wroclaw\\quendarixservice.exe", notTheFile,
         [] { Fake.reopenError = 0x3; }},
        {"the path names another file", "\\\\?\\C:\\Wroclaw\\quendarixservice.exe", notTheFile,
         [] { Fake.reopenFindsOtherFile = true; }},
        {"a quote in the path", "\\\\?\\C:\\A\"B\\quendarixservice.exe", notTheFile},
        // File ids that cannot tell files apart prove nothing.
        {"a 128-bit id beyond 64 bits", "\\\\?\\C:\\R\\quendarixservice.exe", "C:\\R\\quendarixservice.exe",
         [] { Fake.fileId[15] = 0x80; }},
        // All zeros: the file system has no 128-bit ids; the 64-bit index decides.
        {"a 128-bit id of zeros", "\\\\?\\C:\\R\\quendarixservice.exe", "C:\\R\\quendarixservice.exe",
         [] { Fake.fileId[0] = 0; }},
        {"a 128-bit id of zeros, another file", "\\\\?\\C:\\R\\quendarixservice.exe", notTheFile,
         [] { Fake.fileId[0] = 0; Fake.reopenFindsOtherFile = true; }},
        {"a 128-bit id of zeros, an index of zeros", "\\\\?\\C:\\R\\quendarixservice.exe", notTheFile,
         [] { Fake.fileId[0] = 0; Fake.fileIndex = 0; }},
        {"a 128-bit id of ones", "\\\\?\\C:\\R\\quendarixservice.exe", notTheFile,
         [] { memset(Fake.fileId, 0xff, sizeof(Fake.fileId)); }},
        {"no 128-bit ids: the 64-bit index", "\\\\?\\C:\\R\\quendarixservice.exe", "C:\\R\\quendarixservice.exe",
         [] { Fake.fileIdSupported = false; }},
        {"no 128-bit ids, another file", "\\\\?\\C:\\R\\quendarixservice.exe", notTheFile,
         [] { Fake.fileIdSupported = false; Fake.reopenFindsOtherFile = true; }},
        {"no 128-bit ids, an index of zeros", "\\\\?\\C:\\R\\quendarixservice.exe", notTheFile,
         [] { Fake.fileIdSupported = false; Fake.fileIndex = 0; }},
        {"no 128-bit ids, an index of ones", "\\\\?\\C:\\R\\quendarixservice.exe", notTheFile,
         [] { Fake.fileIdSupported = false; Fake.fileIndex = ~0ull; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetFakePlatform();
        Fake.finalPath = c.finalPath;
        c.script();
        PlaceFile(Service);
        const RunOutcome outcome = Run({Installer});
        const bool created = c.registered.rfind(Said::CreateFailed(""), 0) != 0;
        EXPECT_EQ(outcome.exitCode, created ? Said::ExitSuccess : Said::ExitServiceNotInstalled);
        if (created) {
            const auto create = std::find_if(Fake.calls.begin(), Fake.calls.end(), [](const std::string& call) {
                return call.rfind("CreateServiceA", 0) == 0;
            });
            ASSERT_NE(create, Fake.calls.end());
            EXPECT_NE(create->find("," + c.registered + ",null,"), std::string::npos) << *create;
            const std::string afterCreating = c.warning.empty() ? "" : c.warning + "\n";
            EXPECT_NE(outcome.console.find(Said::Creating + "\n" + afterCreating + Said::Created),
                      std::string::npos) << outcome.console;
        } else {
            EXPECT_NE(outcome.console.find(Said::Creating + "\n" + c.registered + "\n"), std::string::npos);
            EXPECT_EQ(std::count_if(Fake.calls.begin(), Fake.calls.end(),
                                    [](const std::string& call) { return call.rfind("CreateServiceA", 0) == 0; }),
                      0);
        }
    }
}

}  // namespace
