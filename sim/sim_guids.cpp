// The STI interface ids: the import library does not carry them, so they are defined here.
#include <initguid.h>

#include <windows.h>
#include <sti.h>
