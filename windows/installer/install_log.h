// The install log, "c:/temp/quendarixinstall.log": opened once, as the run
// starts, and mirrored by every line the run reports (report.h).
#pragma once

#include <cstdio>

// Creates or truncates "c:/temp/quendarixinstall.log", and on Windows only
// when the file opened is that path's own (no link on the way, one name).
// Silent when it cannot; the run then reports to the console only.
void OpenInstallLog();

// Closes the install log, if it is open. Called once, as the process ends.
void CloseInstallLog();

// The open log, or nullptr when it could not be opened.
FILE* InstallLogStream();
