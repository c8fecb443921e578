// Runs the whole installer in-process, in a scratch directory of its own,
// and captures what it printed, what it logged and the exit code.
#pragma once

#include "fake_windows.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <string>
#include <vector>

struct RunOutcome {
    int exitCode;
    std::string console;
    bool logWritten;
    std::string log;
};

class InstallerRun : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Makes an empty file at `path` (relative to the scratch directory),
    // with the directories it names.
    static void PlaceFile(const std::string& path);
    static void RemoveLogDirectory();

    // argv = arguments, argv[0] first; an empty list runs with argc 0.
    static RunOutcome Run(const std::vector<std::string>& arguments);

    // The console text for these lines, each ended by a line feed.
    static std::string Lines(const std::vector<std::string>& lines);

private:
    std::string previousDirectory_;
    std::string scratchDirectory_;
};
