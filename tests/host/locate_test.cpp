// Deriving the service executable's path from argv[0], and probing it.
#include "installer_run.h"
#include "said.h"

#include "../../windows/installer/locate.h"

#include <algorithm>

namespace {

const std::string ServiceFile = "quendarixservice.exe";

using LocateTest = InstallerRun;

TEST_F(LocateTest, TheServiceExecutableIsLookedForUnderArgv0sPrefix)
{
    struct Case {
        std::string argv0;
        std::string probed;
    };
    const Case cases[] = {
        {"C:\\Tools\\quendarixinstall.exe", "C:\\Tools\\quendarixservice.exe"},
        {"quendarixinstall.exe", "quendarixservice.exe"},
        {"Tools\\quendarixinstall.exe", "Tools\\quendarixservice.exe"},
        {"C:\\Tools\\old-quendarixinstall.exe", "C:\\Tools\\old-quendarixservice.exe"},
        {"C:\\Tools\\quendarixinstall.exe.bak", "C:\\Tools\\quendarixservice.exe"},
        // The name in a folder's name is not the program's.
        {"C:\\quendarixinstall.exe.old\\quendarixinstall.exe", "C:\\quendarixinstall.exe.old\\quendarixservice.exe"},
        {"C:\\quendarixinstall.exe\\setup.exe", "C:\\quendarixinstall.exe\\quendarixservice.exe"},
        {"C:\\Program Files\\Quendarix\\quendarixinstall.exe", "C:\\Program Files\\Quendarix\\quendarixservice.exe"},
        // Not the exact name: argv[0]'s directory part.
        {"quendarixinstall", "quendarixservice.exe"},
        {"C:\\Tools\\QuendarixInstall.EXE", "C:\\Tools\\quendarixservice.exe"},
        {"C:\\Tools\\quendarixinstall", "C:\\Tools\\quendarixservice.exe"},
        {"C:\\Tools\\setup.exe", "C:\\Tools\\quendarixservice.exe"},
        {"tools/sub\\setup", "tools/sub\\quendarixservice.exe"},
        {"D:setup.exe", "D:quendarixservice.exe"},
        {"1:setup.exe", "quendarixservice.exe"},
        {"", "quendarixservice.exe"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argv0);
        for (bool present : {true, false}) {
            ResetFakePlatform();
            if (present) PlaceFile(c.probed);
            const RunOutcome outcome = Run({c.argv0, "/Uninstall"});
            if (present) {
                EXPECT_EQ(outcome.exitCode, Said::ExitSuccess);
                EXPECT_EQ(outcome.console.substr(0, outcome.console.find(Said::Deleted)),
                          Lines({Said::Argv0(c.argv0), Said::Found(c.probed)}));
                std::filesystem::remove(c.probed);
            } else {
                EXPECT_EQ(outcome.exitCode, Said::ExitServiceExecutableMissing);
                EXPECT_EQ(outcome.console, Lines({Said::Argv0(c.argv0), Said::NotFound(c.probed)}));
                EXPECT_TRUE(std::none_of(Fake.calls.begin(), Fake.calls.end(), [](const std::string& call) {
                    return call.rfind("OpenSCManagerA", 0) == 0 || call.rfind("CreateFileA", 0) == 0;
                })) << "no service call after the probe";
            }
            EXPECT_EQ(outcome.log, outcome.console);
        }
    }
}

TEST_F(LocateTest, WithoutArgv0TheCurrentDirectoryIsSearched)
{
    PlaceFile(ServiceFile);
    const RunOutcome outcome = Run({});
    EXPECT_EQ(outcome.exitCode, Said::ExitSuccess);
    EXPECT_EQ(outcome.console.rfind(Lines({Said::Argv0(""), Said::Found("quendarixservice.exe")}), 0), 0u);
}

// In code page 932 the second byte of a character can be '\\' (ソ is 83 5C,
// 表 is 95 5C) or a letter: the text is searched by characters.
TEST_F(LocateTest, TheDirectoryIsFoundByCharactersOfTheCodePage)
{
    struct Case {
        const char* name;
        bool shiftJis;
        std::string argv0;
        size_t directoryLength;
    };
    const Case cases[] = {
        {"a name ending in a trail byte 5C", true, "C:\\Tools\\\x83\\", 9},
        {"the same bytes in a single-byte code page", false, "C:\\Tools\\\x83\\", 11},
        {"a folder with a trail byte 5C", true, "C:\\\x95\\\x8e\xa6\\quendarixinstall.exe", 8},
        {"the installer's name from a trail byte on", true, "C:\\T\\\x83quendarixinstall.exe", 5},
        {"the same in a single-byte code page", false, "C:\\T\\\x83quendarixinstall.exe", 6},
        {"a lead byte at the end", true, "C:\\T\\\x83", 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetFakePlatform();
        Fake.shiftJis = c.shiftJis;
        EXPECT_EQ(InstallerDirectoryLength(c.argv0.c_str()), c.directoryLength);
    }
}

// Directories of 200-character names, so that long paths can be made on disk.
std::string LongPrefix(size_t length)
{
    std::string prefix;
    while (prefix.size() + 201 <= length) prefix += std::string(200, 'd') + "/";
    return prefix + std::string(length - prefix.size(), 'e');
}

TEST_F(LocateTest, APathThatWouldBeCutIsNeverProbed)
{
    struct Case {
        size_t prefixLength;
        bool found;
    };
    const Case cases[] = {{1003, true}, {1004, false}, {1023, false}, {1024, false}, {3000, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.prefixLength);
        ResetFakePlatform();
        const std::string prefix = LongPrefix(c.prefixLength);
        const std::string composed = prefix + ServiceFile;
        // A file at the cut path would be found if it were probed.
        const std::string cut = composed.substr(0, ServiceExecutablePathSize - 1);
        if (cut.size() < composed.size()) PlaceFile(cut);
        if (c.found) PlaceFile(composed);
        const RunOutcome outcome = Run({prefix + "quendarixinstall.exe", "/Uninstall"});
        EXPECT_EQ(outcome.exitCode, c.found ? Said::ExitSuccess : Said::ExitServiceExecutableMissing);
        const std::string probeLine = c.found ? Said::Found(composed) : Said::NotFound(composed);
        EXPECT_NE(outcome.console.find("\n" + probeLine + "\n"), std::string::npos);
        std::filesystem::remove_all(std::string(200, 'd'));
    }
}

}  // namespace
