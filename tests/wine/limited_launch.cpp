// Test launcher: runs the command line given as its one argument with the
// limited (linked) token of the current user, waits for it, and exits with
// its exit code. Exit 100 and up: the launcher itself failed.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        printf("usage: limited_launch \"command line\"\n");
        return 100;
    }
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return 101;
    TOKEN_LINKED_TOKEN linked = {};
    DWORD length = 0;
    if (!GetTokenInformation(token, TokenLinkedToken, &linked, sizeof(linked), &length)) return 102;

    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessAsUserA(linked.LinkedToken, nullptr, argv[1], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                              &startup, &process)) {
        return 103;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 104;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(linked.LinkedToken);
    CloseHandle(token);
    return static_cast<int>(exitCode);
}
