#include "path_text.h"

#include <windows.h>

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
