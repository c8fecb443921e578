// Installing and removing the service, against the scripted manager.
#include "installer_run.h"

#include <algorithm>

namespace {

const std::string Installer = "C:\\Tools\\quendarixinstall.exe";
const std::string Service = "C:\\Tools\\quendarixservice.exe";
const std::vector<std::string> ProbeLines = {"argv[0] = " + Installer, "Found executable at " + Service};

const std::string OpenManager = "OpenSCManagerA(null,null,0xf003f)";
const std::string OpenFile = "CreateFileA(" + Service + ")";
const std::string CloseFile = "CloseHandle(file)";
// The path about to be registered, opened again to see that it is the file held.
const std::string Reopen = "CreateFileA(" + Service + ",attributes)";
const std::string CloseReopened = "CloseHandle(reopened)";
const std::string Create = "CreateServiceA(manager,quendarix,Quendarix,0xf01ff,0x10,0x2,0x1," + Service +
                           ",null,null,null,null,null)";
const std::string Describe = "ChangeServiceConfig2A(service,1,Quendarix control)";
const std::string Query = "QueryServiceStatus(service)";
const std::string Start = "StartServiceA(service,0,null)";
const std::string OpenService = "OpenServiceA(manager,quendarix,0xf003f)";
const std::string Stop = "ControlService(service,1)";
const std::string Delete = "DeleteService(service)";
const std::string CloseService = "CloseServiceHandle(service)";
const std::string CloseManager = "CloseServiceHandle(manager)";

struct Scenario {
    const char* name;
    void (*script)();
    int exitCode;
    std::vector<std::string> lines;  // after the probe lines
    std::vector<std::string> calls;  // after the elevation check
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
        EXPECT_EQ(std::vector<std::string>(Fake.calls.begin() + 3, Fake.calls.end()), s.calls);
    }
};

TEST_F(RegistrationTest, Install)
{
    const Scenario scenarios[] = {
        {"created, described and started", [] {}, 0,
         {"Creating service...", "quendarix service has been created.", "Service status = SERVICE_STOPPED (0x1)",
          "quendarix service has been started."},
         {OpenManager, OpenFile, Reopen, CloseReopened, Create, CloseFile, Describe, Query, Start, CloseService, CloseManager}},
        {"already exists", [] { Fake.createError = 0x431; }, 5,
         {"Creating service...", "Failed to create service. Error: 0x431"},
         {OpenManager, OpenFile, Reopen, CloseReopened, Create, "GetLastError", CloseFile, CloseManager}},
        {"description refused", [] { Fake.describeError = 0x5; }, 0,
         {"Creating service...", "quendarix service has been created.", "Failed to set service description. Err=0x5",
          "Service status = SERVICE_STOPPED (0x1)", "quendarix service has been started."},
         {OpenManager, OpenFile, Reopen, CloseReopened, Create, CloseFile, Describe, "GetLastError", Query, Start, CloseService, CloseManager}},
        {"state unreadable", [] { Fake.queryError = 0x1a; }, 0,
         {"Creating service...", "quendarix service has been created.", "Failed to query service status. Err = 0x1a",
          "quendarix service has been started."},
         {OpenManager, OpenFile, Reopen, CloseReopened, Create, CloseFile, Describe, Query, "GetLastError", Start, CloseService, CloseManager}},
        {"last named state", [] { Fake.currentState = 7; }, 0,
         {"Creating service...", "quendarix service has been created.", "Service status = SERVICE_PAUSED (0x7)",
          "quendarix service has been started."},
         {OpenManager, OpenFile, Reopen, CloseReopened, Create, CloseFile, Describe, Query, Start, CloseService, CloseManager}},
        {"state above 7", [] { Fake.currentState = 8; }, 0,
         {"Creating service...", "quendarix service has been created.", "quendarix service has been started."},
         {OpenManager, OpenFile, Reopen, CloseReopened, Create, CloseFile, Describe, Query, Start, CloseService, CloseManager}},
        {"state far above 7", [] { Fake.currentState = 0xffffffff; }, 0,
         {"Creating service...", "quendarix service has been created.", "quendarix service has been started."},
         {OpenManager, OpenFile, Reopen, CloseReopened, Create, CloseFile, Describe, Query, Start, CloseService, CloseManager}},
        {"start refused, registration kept", [] { Fake.startError = 0xc1; }, 5,
         {"Creating service...", "quendarix service has been created.", "Service status = SERVICE_STOPPED (0x1)",
          "Failed to start service. Error: 0xc1"},
         {OpenManager, OpenFile, Reopen, CloseReopened, Create, CloseFile, Describe, Query, Start, "GetLastError", CloseService, CloseManager}},
        {"manager unavailable", [] { Fake.managerOpens = false; }, 3,
         {"Failed to open Service Configuration Manager. Aborting."},
         {OpenManager}},
    };
    for (const Scenario& s : scenarios) Check(s, {Installer});
}

TEST_F(RegistrationTest, Uninstall)
{
    const Scenario scenarios[] = {
        {"running service removed", [] {}, 0, {"Deleted quendarix service."},
         {OpenManager, OpenService, Stop, Delete, CloseService, CloseManager}},
        {"stopped service removed", [] { Fake.stopError = 0x426; }, 0,
         {"Failed to stop service. Err=0x426", "Deleted quendarix service."},
         {OpenManager, OpenService, Stop, "GetLastError", Delete, CloseService, CloseManager}},
        {"no such service", [] { Fake.openServiceError = 0x424; }, 4, {"Failed to open service."},
         {OpenManager, OpenService, CloseManager}},
        {"deletion refused", [] { Fake.stopError = 0x5; Fake.deleteError = 0x5; }, 4,
         {"Failed to stop service. Err=0x5", "Failed to delete quendarix service. Err = 0x5"},
         {OpenManager, OpenService, Stop, "GetLastError", Delete, "GetLastError", CloseService, CloseManager}},
        {"already marked for deletion", [] { Fake.deleteError = 0x430; }, 0,
         {"Failed to delete quendarix service. Err = 0x430"},
         {OpenManager, OpenService, Stop, Delete, "GetLastError", CloseService, CloseManager}},
        {"manager unavailable", [] { Fake.managerOpens = false; }, 3,
         {"Failed to open Service Configuration Manager. Aborting."},
         {OpenManager}},
    };
    for (const Scenario& s : scenarios) Check(s, {Installer, "/Uninstall"});
}

// Wine shows resolved paths; what it cannot show is a share's path, a path
// that cannot be resolved, and the limits of the registered path's length.
TEST_F(RegistrationTest, TheResolvedPathIsRegisteredWhenItFits)
{
    const std::string longest = "C:\\" + std::string(1020, 'x');  // 1023 characters
    const std::string longestShare = "\\\\" + std::string(1021, 's');
    const std::string tooLong = "Failed to create service. Error: 0xce";
    const std::string notTheFile = "Failed to create service. Error: 0x7b";
    struct Case {
        const char* name;
        std::string finalPath;
        DWORD openFileError;
        DWORD resolveError;
        std::string registered;  // the binary path, or the creation failure line
        void (*script)() = [] {};
    };
    const Case cases[] = {
        {"a share", "\\\\?\\UNC\\server\\share\\Q\\quendarixservice.exe", 0, 0,
         "\\\\server\\share\\Q\\quendarixservice.exe"},
        {"the longest path", "\\\\?\\" + longest, 0, 0, longest},
        {"one character more", "\\\\?\\" + longest + "x", 0, 0, tooLong},
        {"the longest share path", "\\\\?\\UNC" + longestShare.substr(1), 0, 0, longestShare},
        {"a share path one character more", "\\\\?\\UNC" + longestShare.substr(1) + "s", 0, 0, tooLong},
        {"the file cannot be opened", "", 0x20, 0, "Failed to create service. Error: 0x20"},
        {"the path cannot be resolved", "", 0, 0x1, "Failed to create service. Error: 0x1"},
        // A best-fit look-alike of the real name: nothing there, or another file.
        {"the path names nothing", "\\\\?\\C:\\Wroclaw\\quendarixservice.exe", 0, 0, notTheFile,
         [] { Fake.reopenError = 0x3; }},
        {"the path names another file", "\\\\?\\C:\\Wroclaw\\quendarixservice.exe", 0, 0, notTheFile,
         [] { Fake.reopenFindsOtherFile = true; }},
        {"a quote in the path", "\\\\?\\C:\\A\"B\\quendarixservice.exe", 0, 0, notTheFile},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetFakePlatform();
        Fake.finalPath = c.finalPath;
        Fake.openFileError = c.openFileError;
        Fake.resolveError = c.resolveError;
        c.script();
        PlaceFile(Service);
        const RunOutcome outcome = Run({Installer});
        const bool created = c.registered.rfind("Failed", 0) != 0;
        EXPECT_EQ(outcome.exitCode, created ? 0 : 5);
        if (created) {
            ASSERT_GE(Fake.calls.size(), 8u);
            EXPECT_NE(Fake.calls[7].find("," + c.registered + ",null,"), std::string::npos) << Fake.calls[7];
        } else {
            EXPECT_NE(outcome.console.find("Creating service...\n" + c.registered + "\n"), std::string::npos);
            EXPECT_EQ(std::count_if(Fake.calls.begin(), Fake.calls.end(),
                                    [](const std::string& call) { return call.rfind("CreateServiceA", 0) == 0; }),
                      0);
        }
    }
}

}  // namespace
