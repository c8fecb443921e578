#include "installer_run.h"

#include "../../windows/installer/driver.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

void InstallerRun::SetUp()
{
    ResetFakePlatform();
    previousDirectory_ = std::filesystem::current_path().string();
    std::string pattern = (std::filesystem::temp_directory_path() / "quendarix-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    scratchDirectory_ = pattern;
    std::filesystem::current_path(scratchDirectory_);
    std::filesystem::create_directories("c:/temp");
}

void InstallerRun::TearDown()
{
    std::filesystem::current_path(previousDirectory_);
    std::filesystem::remove_all(scratchDirectory_);
}

void InstallerRun::PlaceFile(const std::string& path)
{
    const std::filesystem::path file(path);
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << "MZ";
}

void InstallerRun::RemoveLogDirectory()
{
    std::filesystem::remove_all("c:");
}

RunOutcome InstallerRun::Run(const std::vector<std::string>& arguments)
{
    std::vector<std::vector<char>> storage;
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        storage.emplace_back(argument.begin(), argument.end());
        storage.back().push_back('\0');
    }
    for (auto& argument : storage) argv.push_back(argument.data());
    argv.push_back(nullptr);

    fflush(stdout);
    const int savedStdout = dup(STDOUT_FILENO);
    const int capture = open(ConsoleCapturePath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(capture, STDOUT_FILENO);
    close(capture);

    RunOutcome outcome = {};
    outcome.exitCode = RunProgram(static_cast<int>(arguments.size()), argv.data());

    fflush(stdout);
    dup2(savedStdout, STDOUT_FILENO);
    close(savedStdout);

    outcome.console = FileText(ConsoleCapturePath);
    std::filesystem::remove(ConsoleCapturePath);
    outcome.logWritten = std::filesystem::exists(InstallLogPath);
    if (outcome.logWritten) outcome.log = FileText(InstallLogPath);
    return outcome;
}

std::string InstallerRun::Lines(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}
