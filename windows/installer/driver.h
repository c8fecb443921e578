#pragma once

#include <cstdint>

enum class RunMode : std::uint8_t { Install, Uninstall };

// Uninstall exactly when argv[1] is "/Uninstall"; everything else installs.
RunMode ChooseRunMode(int argc, char** argv);

// One whole run of the installer, from opening the install log to the exit
// code. `main` calls it once.
int RunInstaller(int argc, char** argv);
