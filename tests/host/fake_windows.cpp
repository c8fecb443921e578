#include "fake_windows.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

FakePlatform Fake;

const char InstallLogPath[] = "c:/temp/quendarixinstall.log";
const char ConsoleCapturePath[] = "console.capture";

namespace {

HANDLE const ProcessHandle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
HANDLE const TokenHandle = reinterpret_cast<HANDLE>(0x70);
HANDLE const FileHandle = reinterpret_cast<HANDLE>(0x80);
HANDLE const ReopenedHandle = reinterpret_cast<HANDLE>(0x90);
SC_HANDLE const ManagerHandle = reinterpret_cast<SC_HANDLE>(0x100);
SC_HANDLE const ServiceHandle = reinterpret_cast<SC_HANDLE>(0x200);

std::string Hex(DWORD value)
{
    char text[32];
    snprintf(text, sizeof(text), "0x%lx", value);
    return text;
}

std::string Text(LPCSTR text)
{
    return text == nullptr ? "null" : text;
}

std::string HandleName(const void* handle)
{
    if (handle == ManagerHandle) return "manager";
    if (handle == ServiceHandle) return "service";
    if (handle == TokenHandle) return "token";
    if (handle == FileHandle) return "file";
    if (handle == ReopenedHandle) return "reopened";
    if (handle == ProcessHandle) return "process";
    return "?";
}

// Records a call; a nonzero `error` makes it fail with that last-error code.
BOOL Answer(const std::string& call, DWORD error)
{
    Fake.calls.push_back(call);
    if (error != 0) {
        Fake.lastError = error;
        return 0;
    }
    return 1;
}

}  // namespace

std::string FileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void ResetFakePlatform()
{
    Fake = FakePlatform();
}

DWORD GetLastError()
{
    Fake.calls.push_back("GetLastError");
    return Fake.lastError;
}

void SetLastError(DWORD error)
{
    Fake.lastError = error;
}

HANDLE GetCurrentProcess()
{
    return ProcessHandle;
}

BOOL OpenProcessToken(HANDLE process, DWORD desiredAccess, PHANDLE token)
{
    Fake.calls.push_back("OpenProcessToken(" + HandleName(process) + "," + Hex(desiredAccess) + ")");
    if (!Fake.tokenOpens) return 0;
    *token = TokenHandle;
    return 1;
}

BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS informationClass, LPVOID information,
                         DWORD informationLength, LPDWORD returnLength)
{
    Fake.calls.push_back("GetTokenInformation(" + HandleName(token) + "," + std::to_string(informationClass) + "," +
                         std::to_string(informationLength) + "," + std::to_string(*returnLength) + ")");
    if (!Fake.tokenQuerySucceeds || informationLength < sizeof(TOKEN_ELEVATION)) return 0;
    static_cast<TOKEN_ELEVATION*>(information)->TokenIsElevated = Fake.tokenIsElevated;
    return 1;
}

BOOL CloseHandle(HANDLE object)
{
    Fake.calls.push_back("CloseHandle(" + HandleName(object) + ")");
    return 1;
}

// The service file's open, then the open of the path about to be registered
// (asking only to read attributes).
HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    const bool reopen = desiredAccess == FILE_READ_ATTRIBUTES;
    const std::string call = reopen ? "CreateFileA(" + Text(fileName) + ",attributes)" : "CreateFileA(" + Text(fileName) + ")";
    if (!Answer(call, reopen ? Fake.reopenError : Fake.openFileError)) return INVALID_HANDLE_VALUE;
    return reopen ? ReopenedHandle : FileHandle;
}

// The file opened again is another one when so scripted: its id differs in
// its lowest bit.
static bool OtherFile(HANDLE file)
{
    return file == ReopenedHandle && Fake.reopenFindsOtherFile;
}

BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information)
{
    *information = BY_HANDLE_FILE_INFORMATION();
    information->dwVolumeSerialNumber = 0x43000000;
    const ULONGLONG index = Fake.fileIndex ^ (OtherFile(file) ? 1 : 0);
    information->nFileIndexLow = static_cast<DWORD>(index & 0xffffffff);
    information->nFileIndexHigh = static_cast<DWORD>(index >> 32);
    return 1;
}

BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS, LPVOID information, DWORD size)
{
    if (!Fake.fileIdSupported || size < sizeof(FILE_ID_INFO)) {
        Fake.lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    auto* id = static_cast<FILE_ID_INFO*>(information);
    id->VolumeSerialNumber = 0x4300000000000000ull;
    memcpy(id->FileId.Identifier, Fake.fileId, sizeof(Fake.fileId));
    id->FileId.Identifier[0] ^= OtherFile(file) ? 1 : 0;
    return 1;
}

DWORD GetFullPathNameA(LPCSTR, DWORD bufferLength, LPSTR buffer, LPSTR*)
{
    const std::string& path = Fake.fullPath;
    if (path.empty()) {
        Fake.lastError = 0x3;
        return 0;
    }
    if (path.size() >= bufferLength) return static_cast<DWORD>(path.size() + 1);
    memcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

BOOL IsDBCSLeadByteEx(UINT, BYTE testChar)
{
    return Fake.shiftJis && ((testChar >= 0x81 && testChar <= 0x9f) || (testChar >= 0xe0 && testChar <= 0xfc));
}

UINT GetDriveTypeA(LPCSTR)
{
    return Fake.driveType;
}

DWORD GetFinalPathNameByHandleA(HANDLE, LPSTR filePath, DWORD filePathSize, DWORD)
{
    if (Fake.resolveError != 0) {
        Fake.lastError = Fake.resolveError;
        return 0;
    }
    const std::string& path = Fake.finalPath;
    if (path.size() >= filePathSize) return static_cast<DWORD>(path.size() + 1);
    memcpy(filePath, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD desiredAccess)
{
    Fake.calls.push_back("OpenSCManagerA(" + Text(machineName) + "," + Text(databaseName) + "," +
                         Hex(desiredAccess) + ")");
    if (!Fake.managerOpens) return nullptr;
    return ManagerHandle;
}

SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR serviceName, LPCSTR displayName, DWORD desiredAccess,
                         DWORD serviceType, DWORD startType, DWORD errorControl, LPCSTR binaryPathName,
                         LPCSTR loadOrderGroup, LPDWORD tagId, LPCSTR dependencies,
                         LPCSTR serviceStartName, LPCSTR password)
{
    const std::string call = "CreateServiceA(" + HandleName(manager) + "," + Text(serviceName) + "," +
                             Text(displayName) + "," + Hex(desiredAccess) + "," + Hex(serviceType) + "," +
                             Hex(startType) + "," + Hex(errorControl) + "," + Text(binaryPathName) + "," +
                             Text(loadOrderGroup) + "," + (tagId ? "tag" : "null") + "," +
                             Text(dependencies) + "," + Text(serviceStartName) + "," + Text(password) + ")";
    Fake.consoleWhenCreating = FileText(ConsoleCapturePath);
    Fake.logWhenCreating = FileText(InstallLogPath);
    if (!Answer(call, Fake.createError)) return nullptr;
    return ServiceHandle;
}

BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD infoLevel, LPVOID info)
{
    const auto* description = static_cast<SERVICE_DESCRIPTIONA*>(info);
    return Answer("ChangeServiceConfig2A(" + HandleName(service) + "," + std::to_string(infoLevel) + "," +
                      Text(description->lpDescription) + ")",
                  Fake.describeError);
}

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status)
{
    if (!Answer("QueryServiceStatus(" + HandleName(service) + ")", Fake.queryError)) return 0;
    status->dwCurrentState = Fake.currentState;
    return 1;
}

BOOL StartServiceA(SC_HANDLE service, DWORD argumentCount, LPCSTR* arguments)
{
    return Answer("StartServiceA(" + HandleName(service) + "," + std::to_string(argumentCount) + "," +
                      (arguments ? "args" : "null") + ")",
                  Fake.startError);
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD desiredAccess)
{
    const std::string call =
        "OpenServiceA(" + HandleName(manager) + "," + Text(serviceName) + "," + Hex(desiredAccess) + ")";
    if (!Answer(call, Fake.openServiceError)) return nullptr;
    return ServiceHandle;
}

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS)
{
    return Answer("ControlService(" + HandleName(service) + "," + std::to_string(control) + ")", Fake.stopError);
}

BOOL DeleteService(SC_HANDLE service)
{
    return Answer("DeleteService(" + HandleName(service) + ")", Fake.deleteError);
}

BOOL CloseServiceHandle(SC_HANDLE object)
{
    Fake.calls.push_back("CloseServiceHandle(" + HandleName(object) + ")");
    return 1;
}
