// The server's entry: registry work or serving, then shutdown. Always returns 0.
#pragma once

#include <windows.h>

int RunServer(HINSTANCE instance, char *commandTail);
