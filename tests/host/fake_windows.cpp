#include "fake_windows.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <list>
#include <new>
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
// Folders opened to read their security: a handle each, from this one on.
const intptr_t FolderHandles = 0x1000;
std::vector<std::string> OpenedFolders;

// A security descriptor as GetSecurityInfo hands it out, until LocalFree.
struct FakeDescriptor {
    ACL acl;
    std::string owner;
    std::vector<std::vector<unsigned char>> aces;
};
std::list<FakeDescriptor> Descriptors;

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
    const intptr_t folder = reinterpret_cast<intptr_t>(handle) - FolderHandles;
    if (folder >= 0 && static_cast<size_t>(folder) < OpenedFolders.size()) return "folder";
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
    OpenedFolders.clear();
    Descriptors.clear();
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
    // The permissions walk's questions: who the account is, and whether its
    // token is split.
    if (informationClass == TokenUser || informationClass == TokenElevationType) {
        Fake.calls.push_back("GetTokenInformation(" + HandleName(token) + "," + std::to_string(informationClass) + ")");
        if (informationClass == TokenUser && informationLength >= sizeof(TOKEN_USER)) {
            static_cast<TOKEN_USER*>(information)->User.Sid = const_cast<char*>(Fake.installingSid.c_str());
            return 1;
        }
        if (informationClass == TokenElevationType && informationLength >= sizeof(TOKEN_ELEVATION_TYPE)) {
            *static_cast<TOKEN_ELEVATION_TYPE*>(information) = Fake.elevationType;
            return 1;
        }
        return 0;
    }
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

HLOCAL LocalFree(HLOCAL memory)
{
    for (auto d = Descriptors.begin(); d != Descriptors.end(); ++d) {
        if (&*d == memory) {
            Descriptors.erase(d);
            return nullptr;
        }
    }
    free(memory);  // a SID or its text, from the conversions below
    return nullptr;
}

// SIDs are their own text here.
BOOL ConvertSidToStringSidA(PSID sid, LPSTR* text)
{
    *text = strdup(static_cast<const char*>(sid));
    return *text != nullptr;
}

BOOL ConvertStringSidToSidA(LPCSTR text, PSID* sid)
{
    *sid = strdup(text);
    return *sid != nullptr;
}

BOOL LookupAccountSidA(LPCSTR, PSID sid, LPSTR name, LPDWORD nameLength, LPSTR domain, LPDWORD domainLength,
                       SID_NAME_USE*)
{
    const std::string text = static_cast<const char*>(sid);
    const std::map<std::string, std::pair<std::string, std::string>> names = {
        {"S-1-1-0", {"", "Everyone"}},
        {"S-1-5-11", {"NT AUTHORITY", "Authenticated Users"}},
        {"S-1-5-32-545", {"BUILTIN", "Users"}},
        {Fake.installingSid, {"HOST", "admin"}},
    };
    const auto found = names.find(text);
    if (found == names.end()) return 0;
    (void)snprintf(domain, *domainLength, "%s", found->second.first.c_str());
    (void)snprintf(name, *nameLength, "%s", found->second.second.c_str());
    return 1;
}

// The program's own security under its resolved path, a folder's under its
// own; unscripted objects have the default.
DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID* owner, PSID*, PACL* dacl, PACL*,
                      PSECURITY_DESCRIPTOR* descriptor)
{
    std::string path = Fake.finalPath.rfind("\\\\?\\", 0) == 0 ? Fake.finalPath.substr(4) : Fake.finalPath;
    if (handle != FileHandle) path = OpenedFolders.at(static_cast<size_t>(reinterpret_cast<intptr_t>(handle) - FolderHandles));
    const FakeObject object = Fake.objects.count(path) != 0 ? Fake.objects[path] : FakeObject();
    if (!object.readable) return ERROR_ACCESS_DENIED;
    FakeDescriptor& d = Descriptors.emplace_back();
    d.acl = ACL();
    d.acl.AceCount = static_cast<WORD>(object.entries.size());
    d.owner = object.owner;
    for (const AccessEntryText& entry : object.entries) {
        const bool objectEntry =
            entry.type == ACCESS_ALLOWED_OBJECT_ACE_TYPE || entry.type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
        const size_t sidAt = objectEntry ? offsetof(ACCESS_ALLOWED_OBJECT_ACE, InheritedObjectType)
                                         : offsetof(ACCESS_ALLOWED_ACE, SidStart);
        std::vector<unsigned char> bytes(std::max(sizeof(ACCESS_ALLOWED_OBJECT_ACE), sidAt + entry.sid.size() + 1));
        auto* ace = new (bytes.data()) ACCESS_ALLOWED_OBJECT_ACE();
        ace->Header.AceType = entry.type;
        ace->Header.AceFlags = entry.flags;
        ace->Header.AceSize = static_cast<WORD>(bytes.size());
        ace->Mask = entry.mask;
        ace->Flags = objectEntry ? ACE_OBJECT_TYPE_PRESENT : 0;
        memcpy(bytes.data() + sidAt, entry.sid.c_str(), entry.sid.size() + 1);
        d.aces.push_back(std::move(bytes));
    }
    *owner = d.owner.empty() ? nullptr : const_cast<char*>(d.owner.c_str());
    *dacl = &d.acl;
    *descriptor = &d;
    return ERROR_SUCCESS;
}

BOOL GetAce(PACL acl, DWORD index, LPVOID* ace)
{
    for (FakeDescriptor& d : Descriptors) {
        if (&d.acl == acl && index < d.aces.size()) {
            *ace = d.aces[index].data();
            return 1;
        }
    }
    return 0;
}

// The service file's open, then the open of the path about to be registered
// (asking only to read attributes); a folder's to read its security (as
// itself, or followed where a volume is mounted: then the mounted root,
// scripted as PATH\).
HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD flags, HANDLE)
{
    const bool asItself = (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0;
    if ((desiredAccess & READ_CONTROL) != 0) {
        std::string path = fileName;
        Fake.calls.push_back("CreateFileA(" + path + (asItself ? ",security)" : ",security,followed)"));
        if (Fake.objects.count(path) != 0 && !Fake.objects[path].opens) {
            Fake.lastError = ERROR_ACCESS_DENIED;
            return INVALID_HANDLE_VALUE;
        }
        if (!asItself && Fake.objects.count(path) != 0 && Fake.objects[path].reparsePoint) path += "\\";
        OpenedFolders.push_back(path);
        return reinterpret_cast<HANDLE>(FolderHandles + static_cast<intptr_t>(OpenedFolders.size() - 1));
    }
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
    if (HandleName(file) == "folder") {
        const std::string& path = OpenedFolders[static_cast<size_t>(reinterpret_cast<intptr_t>(file) - FolderHandles)];
        const bool reparsePoint = Fake.objects.count(path) != 0 && Fake.objects[path].reparsePoint;
        information->dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY | (reparsePoint ? FILE_ATTRIBUTE_REPARSE_POINT : 0);
        return 1;
    }
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

BOOL IsDBCSLeadByteEx(UINT, BYTE testChar)
{
    return Fake.shiftJis && ((testChar >= 0x81 && testChar <= 0x9f) || (testChar >= 0xe0 && testChar <= 0xfc));
}

BOOL SetDefaultDllDirectories(DWORD directoryFlags)
{
    Fake.calls.push_back("SetDefaultDllDirectories(" + Hex(directoryFlags) + ")");
    return 1;
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
