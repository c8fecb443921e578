// Paths in the ANSI code page, walked by its characters, never by bytes: in
// the double-byte code pages (932, 936, 949, 950) the second byte of a
// character can be 0x5C, the byte of '\', or a letter.
#pragma once

#include <cstddef>

// The character after the one at `text` (not the terminator).
const char* NextCharacter(const char* text);

// The first '\' in `text` that is a character of its own, or nullptr.
const char* FindBackslash(const char* text);

// The last '\' in `text` that is a character of its own, or nullptr.
const char* FindLastBackslash(const char* text);

// The length of a drive path's root ("X:\"), or of a share path's
// ("\\server\share\", the share named); 0 for any other form: a relative
// path, a volume GUID path, "\\?\GLOBALROOT\...", "\\.\...", or Wine's
// "\\?\unix\...".
size_t VolumeRootLength(const char* path);
