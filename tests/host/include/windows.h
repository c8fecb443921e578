// Host stand-in for <windows.h>: exactly the types, constants and functions
// the installer uses, with the SDK's names and values. The functions are the
// scriptable double in fake_windows.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

typedef unsigned long DWORD;  // keeps "%lx" right, as on Windows
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef unsigned long long ULONGLONG;
typedef unsigned int UINT;
typedef int BOOL;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef void* LPVOID;
typedef DWORD* LPDWORD;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef void* PSID;
typedef void* HLOCAL;
typedef void* PSECURITY_DESCRIPTOR;
typedef DWORD SECURITY_INFORMATION;
typedef struct SC_HANDLE__* SC_HANDLE;
typedef struct SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

#define WINAPI

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define TOKEN_QUERY 0x0008
#define GENERIC_READ 0x80000000
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define FILE_READ_ATTRIBUTES 0x0080
#define FILE_WRITE_DATA 0x0002
#define FILE_WRITE_ATTRIBUTES 0x0100
#define FILE_APPEND_DATA 0x0004
#define FILE_DELETE_CHILD 0x0040
#define DELETE 0x00010000
#define WRITE_DAC 0x00040000
#define WRITE_OWNER 0x00080000
#define GENERIC_WRITE 0x40000000
#define GENERIC_ALL 0x10000000
#define ACCESS_ALLOWED_ACE_TYPE 0x0
#define ACCESS_DENIED_ACE_TYPE 0x1
#define ACCESS_ALLOWED_OBJECT_ACE_TYPE 0x5
#define ACCESS_DENIED_OBJECT_ACE_TYPE 0x6
#define ACCESS_ALLOWED_CALLBACK_ACE_TYPE 0x9
#define ACCESS_DENIED_CALLBACK_ACE_TYPE 0xA
#define ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE 0xB
#define ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE 0xC
#define ACE_OBJECT_TYPE_PRESENT 0x1
#define ACE_INHERITED_OBJECT_TYPE_PRESENT 0x2
#define INHERIT_ONLY_ACE 0x08
#define OBJECT_INHERIT_ACE 0x01
#define CONTAINER_INHERIT_ACE 0x02
#define SECURITY_SQOS_PRESENT 0x00100000
#define SECURITY_IDENTIFICATION 0x00010000
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400
#define READ_CONTROL 0x00020000
#define OWNER_SECURITY_INFORMATION 0x00000001
#define DACL_SECURITY_INFORMATION 0x00000004
#define SECURITY_MAX_SID_SIZE 68
#define ERROR_SUCCESS 0L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define FILE_NAME_NORMALIZED 0x0
#define VOLUME_NAME_DOS 0x0
#define SC_MANAGER_ALL_ACCESS 0xF003F
#define SERVICE_ALL_ACCESS 0xF01FF
#define SERVICE_WIN32_OWN_PROCESS 0x00000010
#define SERVICE_AUTO_START 0x00000002
#define SERVICE_ERROR_NORMAL 0x00000001
#define SERVICE_CONFIG_DESCRIPTION 1
#define SERVICE_CONTROL_STOP 0x00000001
#define SERVICE_STOPPED 0x00000001
#define SERVICE_RUNNING 0x00000004
#define CP_ACP 0
#define MAX_PATH 260
#define DRIVE_FIXED 3
#define DRIVE_REMOTE 4
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INVALID_NAME 123L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_SERVICE_MARKED_FOR_DELETE 1072L

enum TOKEN_INFORMATION_CLASS { TokenUser = 1, TokenElevationType = 18, TokenElevation = 20 };
enum TOKEN_ELEVATION_TYPE { TokenElevationTypeDefault = 1, TokenElevationTypeFull, TokenElevationTypeLimited };
enum SE_OBJECT_TYPE { SE_FILE_OBJECT = 1 };
enum SID_NAME_USE { SidTypeUnknown = 8 };

struct TOKEN_ELEVATION {
    DWORD TokenIsElevated;
};

struct SID_AND_ATTRIBUTES {
    PSID Sid;
    DWORD Attributes;
};

struct TOKEN_USER {
    SID_AND_ATTRIBUTES User;
};

struct ACL {
    BYTE AclRevision;
    BYTE Sbz1;
    WORD AclSize;
    WORD AceCount;
    WORD Sbz2;
};
typedef ACL* PACL;

struct ACE_HEADER {
    BYTE AceType;
    BYTE AceFlags;
    WORD AceSize;
};

struct ACCESS_ALLOWED_ACE {
    ACE_HEADER Header;
    DWORD Mask;
    DWORD SidStart;
};

struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
};

struct ACCESS_ALLOWED_OBJECT_ACE {
    ACE_HEADER Header;
    DWORD Mask;
    DWORD Flags;
    GUID ObjectType;
    GUID InheritedObjectType;
    DWORD SidStart;
};

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
};
typedef BY_HANDLE_FILE_INFORMATION* LPBY_HANDLE_FILE_INFORMATION;

enum FILE_INFO_BY_HANDLE_CLASS { FileIdInfo = 18 };

struct FILE_ID_128 {
    BYTE Identifier[16];
};

struct FILE_ID_INFO {
    ULONGLONG VolumeSerialNumber;
    FILE_ID_128 FileId;
};

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};
typedef SERVICE_STATUS* LPSERVICE_STATUS;

struct SERVICE_DESCRIPTIONA {
    LPSTR lpDescription;
};

DWORD GetLastError();
void SetLastError(DWORD error);
HANDLE GetCurrentProcess();
BOOL OpenProcessToken(HANDLE process, DWORD desiredAccess, PHANDLE token);
BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS informationClass, LPVOID information,
                         DWORD informationLength, LPDWORD returnLength);
BOOL CloseHandle(HANDLE object);
HLOCAL LocalFree(HLOCAL memory);
BOOL ConvertSidToStringSidA(PSID sid, LPSTR* text);
BOOL ConvertStringSidToSidA(LPCSTR text, PSID* sid);
BOOL LookupAccountSidA(LPCSTR systemName, PSID sid, LPSTR name, LPDWORD nameLength, LPSTR domain,
                       LPDWORD domainLength, SID_NAME_USE* use);
DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE objectType, SECURITY_INFORMATION information, PSID* owner,
                      PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor);
BOOL GetAce(PACL acl, DWORD index, LPVOID* ace);
HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information);
BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS informationClass, LPVOID information,
                                  DWORD size);
DWORD GetFinalPathNameByHandleA(HANDLE file, LPSTR filePath, DWORD filePathSize, DWORD flags);
UINT GetDriveTypeA(LPCSTR rootPathName);
BOOL IsDBCSLeadByteEx(UINT codePage, BYTE testChar);
BOOL SetDefaultDllDirectories(DWORD directoryFlags);

SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD desiredAccess);
SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR serviceName, LPCSTR displayName, DWORD desiredAccess,
                         DWORD serviceType, DWORD startType, DWORD errorControl, LPCSTR binaryPathName,
                         LPCSTR loadOrderGroup, LPDWORD tagId, LPCSTR dependencies,
                         LPCSTR serviceStartName, LPCSTR password);
BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD infoLevel, LPVOID info);
BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status);
BOOL StartServiceA(SC_HANDLE service, DWORD argumentCount, LPCSTR* arguments);
SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD desiredAccess);
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
BOOL DeleteService(SC_HANDLE service);
BOOL CloseServiceHandle(SC_HANDLE object);
