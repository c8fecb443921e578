// The scriptable double behind the stand-in windows.h. A test sets what the
// platform answers, runs the installer, and reads the calls it received.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

// A DACL entry with its account's SID as text. An object entry is laid out
// with its object type present, so its SID starts 16 bytes later.
struct AccessEntryText {
    std::string sid;
    BYTE type;
    BYTE flags;
    DWORD mask;
};

// One object's security as GetSecurityInfo reads it.
struct FakeObject {
    bool opens = true;     // its folder can be opened to read its security
    bool readable = true;  // its security descriptor can be read
    bool reparsePoint = false;  // a link, or a folder where a volume is mounted
    std::string owner = "S-1-5-32-544";
    std::vector<AccessEntryText> entries = {
        {"S-1-5-18", ACCESS_ALLOWED_ACE_TYPE, 0, 0x1f01ff},
        {"S-1-5-32-544", ACCESS_ALLOWED_ACE_TYPE, 0, 0x1f01ff},
        {"S-1-5-32-545", ACCESS_ALLOWED_ACE_TYPE, 0, 0x1200a9},
    };
};

struct FakePlatform {
    // Scripted answers. A nonzero *Error makes that call fail with the code.
    // The ANSI code page: single-byte, or 932 (Shift-JIS) with its lead bytes.
    bool shiftJis = false;
    bool tokenOpens = true;
    bool tokenQuerySucceeds = true;
    DWORD tokenIsElevated = 1;
    bool managerOpens = true;
    DWORD createError = 0;
    DWORD describeError = 0;
    DWORD queryError = 0;
    DWORD currentState = SERVICE_STOPPED;
    DWORD startError = 0;
    DWORD openServiceError = 0;
    DWORD stopError = 0;
    DWORD deleteError = 0;
    // The service file's path as the system resolves it from a handle.
    DWORD openFileError = 0;
    DWORD resolveError = 0;
    std::string finalPath = "\\\\?\\C:\\Tools\\quendarixservice.exe";
    UINT driveType = DRIVE_FIXED;
    // The file that path names when opened again: the same one unless set.
    DWORD reopenError = 0;
    bool reopenFindsOtherFile = false;
    // The open file's identity: its 128-bit id, unless the file system does
    // not support FileIdInfo; then its 64-bit index.
    bool fileIdSupported = true;
    BYTE fileId[16] = {0x2a};
    ULONGLONG fileIndex = 0x2a;

    // Who may change the program and the folders above it, by path (the
    // program's own under its resolved path); others are the default: owned
    // by Administrators, only read by Users.
    std::map<std::string, FakeObject> objects;
    // The installing account, and whether its token is split (UAC).
    std::string installingSid = "S-1-5-21-7-8-9-1001";
    TOKEN_ELEVATION_TYPE elevationType = TokenElevationTypeDefault;

    // What happened: one entry a call, with the values that matter.
    std::vector<std::string> calls;
    DWORD lastError = 0;
    // The console capture and the log as CreateServiceA found them.
    std::string consoleWhenCreating;
    std::string logWhenCreating;
};

extern FakePlatform Fake;

// Relative to the scratch directory a test runs in.
extern const char InstallLogPath[];
extern const char ConsoleCapturePath[];

// Back to an elevated token and a manager that does everything asked.
void ResetFakePlatform();

// A file's whole content; empty when it cannot be read.
std::string FileText(const std::string& path);
