#pragma once

#include <cstdint>

enum class RunMode : std::uint8_t { Install, Uninstall };

// Uninstall exactly when argv[1] is "/Uninstall"; everything else installs.
RunMode ChooseRunMode(int argc, char** argv);

// One whole run of the installer, from opening the install log to the exit
// code.
int RunInstaller(int argc, char** argv);

// What `main` does, once: DLLs only from System32, then the console, the
// run, and the log and console closed. Answers the exit code.
int RunProgram(int argc, char** argv);
