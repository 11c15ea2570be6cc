// Self-registration: the class's local-server entry under HKEY_CLASSES_ROOT.
#pragma once

#include <windows.h>

// Writes CLSID\{class id}\LocalServer32 with the executable's quoted path. Failures are not
// reported.
void RegisterServer(REFCLSID classId, HINSTANCE moduleInstance);

// Removes the entry, and with it the class key and both ProgID keys unless an in-process server
// is registered for the class. Always returns 0.
LONG UnregisterServer(REFCLSID classId, const wchar_t *versionIndependentProgId,
                      const wchar_t *progId);

// Deletes a subkey and everything below it, depth first.
LONG DeleteKeyTree(HKEY parent, const wchar_t *name);
