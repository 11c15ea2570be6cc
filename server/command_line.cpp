#include "command_line.h"

#include <windows.h>

#include <cstring>

char *CommandTail(char *commandLine)
{
    unsigned char *p = reinterpret_cast<unsigned char *>(commandLine);
    bool quoted = false;
    while (*p > 0x20 || (*p != 0 && quoted)) {
        if (*p == '"')
            quoted = !quoted;
        if (IsDBCSLeadByte(*p) && p[1] != 0)
            ++p;
        ++p;
    }
    while (*p != 0 && *p <= 0x20)
        ++p;
    return reinterpret_cast<char *>(p);
}

std::vector<CommandToken> ReadCommandTokens(char *tail)
{
    std::vector<CommandToken> tokens;
    char *context = nullptr;
    for (char *token = strtok_s(tail, "-/", &context); token != nullptr;
         token = strtok_s(nullptr, "-/", &context)) {
        if (_stricmp(token, "UnregServer") == 0)
            tokens.push_back(CommandToken::UnregServer);
        else if (_stricmp(token, "RegServer") == 0)
            tokens.push_back(CommandToken::RegServer);
        else if (_stricmp(token, "Embedding") == 0)
            break;
    }
    return tokens;
}
