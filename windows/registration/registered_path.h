// The path the service is registered by, and the identity of a file, read
// from handles the system gave.
#pragma once

#include <windows.h>

#include <cstddef>

// The registered path is shorter than MAX_PATH (it must open again by
// name); the buffers hold longer answers, to tell them apart.
const size_t ServicePathSize = MAX_PATH;

// Whether two open handles are the same file: the same volume and file id.
// The 128-bit id of FileIdInfo, as the 64-bit file index is not unique on
// ReFS (and Dev Drive); that index where FileIdInfo is not supported, or
// answers zero for both ("no 128-bit id", as on FAT). An id that proves
// nothing never makes two handles the same.
bool SameFile(HANDLE first, HANDLE second);

// Whether a resolved path is on a network share: a "\\server\share" path,
// or a drive the system reports as remote.
bool IsOnShare(const char* path);

// The path of the open service file as the system resolves it from the
// handle (links followed, short names and letter case normalised, subst and
// mapped drives resolved to their real directory or share): a drive path or
// a share path, without the "\\?\" prefix, and nothing else. The path as
// typed is never taken in its place: where the file's volume has no drive
// letter of its own the system answers ERROR_PATH_NOT_FOUND, and a drive
// letter that reached the file anyway was made by subst or DefineDosDevice
// for this logon session only. The manager resolves the registered path in
// the global namespace, at the first start and at every boot, where that
// letter is undefined or another volume's. Answers false with the
// last-error code set when it cannot be resolved (the system's own error),
// is of another form, is too long to be opened again by name (MAX_PATH for
// the narrow calls), holds '%' (which the manager would expand as an
// environment variable and so run another file) or '"', or does not lead
// back to the same file.
bool ResolveServicePath(HANDLE file, char (&servicePath)[ServicePathSize]);
