/* Forced into every file of the MSVC-mode check. The Windows SDK's winerror.h declares
 * HRESULT_FROM_WIN32 as an inline function, not a macro as MinGW's does: a constant expression
 * built from it compiles with MinGW only. */
#pragma once
/* MinGW's _mingw.h declares its CRT imports only when __declspec is a macro, as GCC has it. */
#define __declspec(x) __declspec(x)
#include <windows.h>
#undef HRESULT_FROM_WIN32
FORCEINLINE HRESULT HRESULT_FROM_WIN32(unsigned long x)
{
    return (HRESULT)(x) <= 0 ? (HRESULT)(x)
                             : (HRESULT)(((x)&0x0000FFFF) | (FACILITY_WIN32 << 16) | 0x80000000);
}
