// The run sequence: mode choice, the elevation gate and the install log.
#include "installer_run.h"
#include "said.h"

#include <algorithm>
#include <fstream>

namespace {

const std::string Installer = "C:\\Tools\\quendarixinstall.exe";
const std::string Service = "C:\\Tools\\quendarixservice.exe";
const std::string Refusal = Said::NotElevated;
const std::string Size = std::to_string(sizeof(TOKEN_ELEVATION));
const std::string TokenQuery = "GetTokenInformation(token,20," + Size + "," + Size + ")";

bool Called(const std::string& prefix)
{
    return std::any_of(Fake.calls.begin(), Fake.calls.end(),
                       [&](const std::string& call) { return call.rfind(prefix, 0) == 0; });
}

using DriverTest = InstallerRun;

TEST_F(DriverTest, OnlyAnExactFirstArgumentSelectsUninstall)
{
    struct Case {
        std::vector<std::string> arguments;
        bool uninstall;
    };
    const Case cases[] = {
        {{}, false},
        {{"/Uninstall"}, true},
        {{"/Uninstall", "extra", "/Install"}, true},
        {{"/uninstall"}, false},
        {{"/UNINSTALL"}, false},
        {{"-Uninstall"}, false},
        {{"/Uninstall:"}, false},
        {{" /Uninstall"}, false},
        {{""}, false},
        {{"anything", "/Uninstall"}, false},
    };
    PlaceFile(Service);
    for (const Case& c : cases) {
        ResetFakePlatform();
        std::vector<std::string> arguments = {Installer};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const RunOutcome outcome = Run(arguments);
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        EXPECT_EQ(outcome.exitCode, Said::ExitSuccess);
        EXPECT_EQ(Called("OpenServiceA"), c.uninstall);
        EXPECT_EQ(Called("CreateServiceA"), !c.uninstall);
    }
}

TEST_F(DriverTest, EveryElevationFailureRefusesBeforeLookingForTheService)
{
    struct Case {
        const char* name;
        bool tokenOpens;
        bool tokenQuerySucceeds;
        DWORD tokenIsElevated;
        std::string console;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"token cannot be opened", false, true, 1, Lines({Said::TokenNotOpened, Refusal}),
         {"OpenProcessToken(process,0x8)"}},
        {"token query fails", true, false, 1, Lines({Refusal}),
         {"OpenProcessToken(process,0x8)", TokenQuery, "CloseHandle(token)"}},
        {"token not elevated", true, true, 0, Lines({Refusal}),
         {"OpenProcessToken(process,0x8)", TokenQuery, "CloseHandle(token)"}},
    };
    PlaceFile(Service);
    for (const Case& c : cases) {
        for (const char* mode : {"", "/Uninstall"}) {
            SCOPED_TRACE(std::string(c.name) + " " + mode);
            ResetFakePlatform();
            Fake.tokenOpens = c.tokenOpens;
            Fake.tokenQuerySucceeds = c.tokenQuerySucceeds;
            Fake.tokenIsElevated = c.tokenIsElevated;
            const RunOutcome outcome = Run({Installer, mode});
            EXPECT_EQ(outcome.exitCode, Said::ExitNotElevated);
            EXPECT_EQ(outcome.console, c.console);
            EXPECT_EQ(outcome.log, c.console);
            // DLLs from System32 only, before anything else the run does.
            std::vector<std::string> calls = {"SetDefaultDllDirectories(0x800)"};
            calls.insert(calls.end(), c.calls.begin(), c.calls.end());
            EXPECT_EQ(Fake.calls, calls);
        }
    }
}

TEST_F(DriverTest, EveryLineIsOnTheConsoleAndInTheLogBeforeTheNextStep)
{
    PlaceFile(Service);
    const RunOutcome outcome = Run({Installer});
    const std::string printed = Lines({Said::Argv0(Installer), Said::Found(Service), Said::Creating});
    EXPECT_EQ(Fake.consoleWhenCreating, printed);
    EXPECT_EQ(Fake.logWhenCreating, printed);
    EXPECT_EQ(outcome.log, outcome.console);
}

TEST_F(DriverTest, EachRunReplacesTheLogEvenWhenItStopsAtTheFirstCheck)
{
    PlaceFile(InstallLogPath);
    { std::ofstream(InstallLogPath) << "an earlier run's lines\nand more\n"; }
    Fake.tokenIsElevated = 0;
    const RunOutcome outcome = Run({Installer, "/Uninstall"});
    EXPECT_EQ(outcome.log, Lines({Refusal}));
}

TEST_F(DriverTest, WithoutALogDirectoryTheConsoleIsTheSame)
{
    PlaceFile(Service);
    const RunOutcome withLog = Run({Installer});
    RemoveLogDirectory();
    ResetFakePlatform();
    const RunOutcome withoutLog = Run({Installer});
    EXPECT_FALSE(withoutLog.logWritten);
    EXPECT_EQ(withoutLog.console, withLog.console);
    EXPECT_EQ(withoutLog.exitCode, withLog.exitCode);
}

TEST_F(DriverTest, PercentSignsInArgv0ArePrintedLiterally)
{
    const std::string directory = "C:\\100%s %d %n%%\\";
    PlaceFile(directory + "quendarixservice.exe");
    const RunOutcome outcome = Run({directory + "quendarixinstall.exe", "/Uninstall"});
    EXPECT_EQ(outcome.exitCode, Said::ExitSuccess);
    EXPECT_EQ(outcome.console.substr(0, outcome.console.find(Said::Deleted)),
              Lines({Said::Argv0(directory + "quendarixinstall.exe"), Said::Found(directory + "quendarixservice.exe")}));
}

}  // namespace
