#include "path_text.h"

#include <windows.h>

#include <cstring>

const char* NextCharacter(const char* text)
{
    if (IsDBCSLeadByteEx(CP_ACP, static_cast<BYTE>(text[0])) && text[1] != '\0') {
        return text + 2;
    }
    return text + 1;
}

const char* FindBackslash(const char* text)
{
    for (const char* at = text; *at != '\0'; at = NextCharacter(at)) {
        if (*at == '\\') {
            return at;
        }
    }
    return nullptr;
}

const char* FindLastBackslash(const char* text)
{
    const char* last = nullptr;
    for (const char* at = FindBackslash(text); at != nullptr; at = FindBackslash(at + 1)) {
        last = at;
    }
    return last;
}

size_t VolumeRootLength(const char* path)
{
    const unsigned char drive = static_cast<unsigned char>(path[0]);
    if (((drive >= 'A' && drive <= 'Z') || (drive >= 'a' && drive <= 'z')) && path[1] == ':' && path[2] == '\\') {
        return 3;
    }
    if (path[0] != '\\' || path[1] != '\\' || path[2] == '\\' || strncmp(path + 2, "?\\", 2) == 0 ||
        strncmp(path + 2, ".\\", 2) == 0) {
        return 0;
    }
    const char* share = FindBackslash(path + 2);
    if (share == nullptr || share[1] == '\\' || share[1] == '\0') {
        return 0;
    }
    const char* end = FindBackslash(share + 1);
    return end != nullptr ? static_cast<size_t>(end - path) + 1 : strlen(path);
}
