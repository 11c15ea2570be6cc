#include "registration.h"

#include "bounded_string.h"
#include "diagnostics.h"
#include "owners.h"

#include <objbase.h>

namespace {

// The class id in registry form, "{...}" with upper-case digits.
bool ClassIdText(REFCLSID classId, wchar_t (&text)[NAME_CHARS])
{
    LPOLESTR formatted = nullptr;
    if (FAILED(StringFromCLSID(classId, &formatted)))
        return false;
    UniqueCoTaskMem owner(formatted);
    return BoundedCopy(text, NAME_CHARS, formatted) == S_OK;
}

} // namespace

void RegisterServer(REFCLSID classId, HINSTANCE moduleInstance)
{
    wchar_t path[NAME_CHARS] = {};
    const DWORD length = GetModuleFileNameW(moduleInstance, path, NAME_CHARS);
    // A path that filled the whole buffer was cut: registering it would name another file.
    if (length == 0 || length >= NAME_CHARS)
        return;

    wchar_t classText[NAME_CHARS];
    if (!ClassIdText(classId, classText))
        return;

    wchar_t keyName[NAME_CHARS];
    if (BoundedFormat(keyName, NAME_CHARS, L"CLSID\\%ls\\LocalServer32", classText) != S_OK)
        return;

    // Quoted, so that CreateProcess never splits a path with blanks into a shorter program name.
    wchar_t command[NAME_CHARS + 2];
    if (BoundedFormat(command, ARRAYSIZE(command), L"\"%ls\"", path) != S_OK)
        return;

    UniqueHKey key;
    DWORD disposition = 0;
    LONG result = RegCreateKeyExW(HKEY_CLASSES_ROOT, keyName, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, key.put(), &disposition);
    if (result == ERROR_SUCCESS)
        result =
            RegSetValueExW(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(command),
                           static_cast<DWORD>((length + 3) * sizeof(wchar_t)));
    if (result != ERROR_SUCCESS && LogEnabled(LogLevel::Errors))
        LogLine("RegServer: writing HKCR\\%s -> %s", Utf8(keyName).c_str(),
                DescribeHresult(HRESULT_FROM_WIN32(result)).c_str());
}

LONG UnregisterServer(REFCLSID classId, const wchar_t *versionIndependentProgId,
                      const wchar_t *progId)
{
    wchar_t classText[NAME_CHARS];
    if (!ClassIdText(classId, classText))
        return 0;

    wchar_t classKey[NAME_CHARS] = L"CLSID\\";
    BoundedCat(classKey, classText);
    wchar_t probe[NAME_CHARS];
    BoundedFormat(probe, NAME_CHARS, L"%ls\\InprocServer32", classKey);

    UniqueHKey inproc;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, probe, 0, KEY_ALL_ACCESS, inproc.put()) ==
        ERROR_SUCCESS) {
        // An in-process server shares the class key: only the local-server entry goes.
        inproc.reset();
        wchar_t localServer[NAME_CHARS];
        BoundedFormat(localServer, NAME_CHARS, L"%ls\\LocalServer32", classKey);
        DeleteKeyTree(HKEY_CLASSES_ROOT, localServer);
        return 0;
    }

    DeleteKeyTree(HKEY_CLASSES_ROOT, classKey);
    DeleteKeyTree(HKEY_CLASSES_ROOT, versionIndependentProgId);
    DeleteKeyTree(HKEY_CLASSES_ROOT, progId);
    return 0;
}

LONG DeleteKeyTree(HKEY parent, const wchar_t *name)
{
    UniqueHKey key;
    LONG result = RegOpenKeyExW(parent, name, 0, KEY_ALL_ACCESS, key.put());
    if (result != ERROR_SUCCESS)
        return result;

    for (;;) {
        // Index 0 every time: each pass deletes the subkey it found.
        wchar_t subkey[256];
        DWORD capacity = ARRAYSIZE(subkey);
        FILETIME lastWrite;
        if (RegEnumKeyExW(key.get(), 0, subkey, &capacity, nullptr, nullptr, nullptr,
                          &lastWrite) != ERROR_SUCCESS)
            break;
        result = DeleteKeyTree(key.get(), subkey);
        if (result != ERROR_SUCCESS)
            return result;
    }
    key.reset();
    return RegDeleteKeyW(parent, name);
}
