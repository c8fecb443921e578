#pragma once

#include <cstddef>

// Size of the buffer that holds the service executable's path: at most
// 1023 characters and the terminator.
const size_t ServiceExecutablePathSize = 1024;

// Derives the service executable's path from the installer's argv[0], prints
// it, and checks that the file can be opened for reading. Fills
// `ServiceExecutablePath` (ServiceExecutablePathSize bytes) and answers true
// when it can; prints the "Did not find" line and answers false otherwise.
bool LocateServiceExecutable(const char* argv0, char* ServiceExecutablePath);

// The length of argv[0]'s leading text that names the installer's directory:
// the text before the first "quendarixinstall.exe" when argv[0] holds that
// name exactly, otherwise argv[0]'s directory part (up to and including its
// last '\' or '/', or its drive "X:"), zero when it has none. Characters of
// the ANSI code page are searched, never bytes.
size_t InstallerDirectoryLength(const char* argv0);
