// Test launchers: run the rest of their own command line, exactly as given,
// with a token chosen on purpose, wait for it and exit with its exit code.
// Wine 8 starts programs elevated, Wine 10 with the limited token of a split
// pair (as Windows does under UAC); the tests never rely on either default.
//   elevated_launch.exe  its manifest asks for requireAdministrator; runs the
//                        command with its own token, which must be elevated
//   limited_launch.exe   runs the command with the limited token: its own
//                        when it has it, else the one linked to its full token
// Exit codes 100 and up: the launcher itself failed. The command line is
// handed on in wide text so that names outside the ANSI code page reach the
// program as they would without a launcher.
#include <windows.h>

namespace {

// The command line after the launcher's own name and the blanks after it.
wchar_t* CommandToRun()
{
    wchar_t* line = GetCommandLineW();
    bool quoted = false;
    for (; *line != L'\0' && (quoted || (*line != L' ' && *line != L'\t')); ++line) {
        if (*line == L'"') {
            quoted = !quoted;
        }
    }
    while (*line == L' ' || *line == L'\t') {
        ++line;
    }
    return line;
}

// Runs the command with `runAs`, or the launcher's own token when null, and
// answers its exit code.
int RunAndWait(HANDLE runAs, wchar_t* command)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    const BOOL started =
        runAs != nullptr
            ? CreateProcessAsUserW(runAs, nullptr, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                   &process)
            : CreateProcessW(nullptr, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    if (!started) {
        return 105;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 106;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(exitCode);
}

}  // namespace

int main()
{
    wchar_t* command = CommandToRun();
    if (*command == L'\0') {
        return 100;
    }
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return 101;
    }
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD length = 0;
    TOKEN_ELEVATION elevation = {};
    if (!GetTokenInformation(token, TokenElevationType, &type, sizeof(type), &length) ||
        !GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &length)) {
        return 102;
    }
    HANDLE runAs = nullptr;  // null: the launcher's own token
#if defined(LAUNCH_LIMITED)
    if (type == TokenElevationTypeFull) {
        TOKEN_LINKED_TOKEN linked = {};
        if (!GetTokenInformation(token, TokenLinkedToken, &linked, sizeof(linked), &length)) {
            return 103;
        }
        runAs = linked.LinkedToken;
    } else if (type != TokenElevationTypeLimited) {
        return 104;  // no split token: nothing limited to run with
    }
#else
    if (elevation.TokenIsElevated == 0) {
        return 104;
    }
#endif

    const int exitCode = RunAndWait(runAs, command);
    // Null in the elevated variant, which is the one cppcheck sees.
    // cppcheck-suppress knownConditionTrueFalse
    if (runAs != nullptr) {
        CloseHandle(runAs);
    }
    CloseHandle(token);
    return exitCode;
}
