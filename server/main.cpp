// Process entry of the windowless server.
#include "command_line.h"
#include "server_main.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    // The tail is split in place, so it is read from a copy of the command line of our own.
    const char *line = GetCommandLineA();
    const size_t size = strlen(line) + 1;
    char *copy = static_cast<char *>(HeapAlloc(GetProcessHeap(), 0, size));
    if (copy == nullptr)
        return 0;
    memcpy(copy, line, size);
    const int result = RunServer(instance, CommandTail(copy));
    HeapFree(GetProcessHeap(), 0, copy);
    return result;
}
