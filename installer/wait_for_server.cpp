// The uninstall's custom action: a server still in its grace after its last client (or serving
// one) holds its executable and the proxy/stub it loaded, and Windows Installer would leave them
// behind for a restart. The files go once the server has ended: it ends by itself within the
// grace once its class is unregistered; one that a client still holds is ended.
#include "class_ids.h"

#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <tlhelp32.h>

#include <cwchar>

namespace {

constexpr wchar_t SERVER_NAME[] = L"StiScannerComBridge.exe";
constexpr DWORD WAIT_BEYOND_GRACE_MS = 5000;

// The server processes started from the install folder.
bool FromFolder(HANDLE process, const wchar_t *folder)
{
    wchar_t path[MAX_PATH] = {};
    DWORD length = MAX_PATH;
    if (!QueryFullProcessImageNameW(process, 0, path, &length))
        return false;
    const size_t folderLength = wcslen(folder);
    return _wcsnicmp(path, folder, folderLength) == 0 &&
           _wcsicmp(path + folderLength, SERVER_NAME) == 0;
}

void EndServer(DWORD processId, const wchar_t *folder, DWORD deadline)
{
    HANDLE process = OpenProcess(
        SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr)
        return;
    if (FromFolder(process, folder)) {
        const DWORD now = GetTickCount();
        const DWORD wait = static_cast<LONG>(deadline - now) > 0 ? deadline - now : 0;
        if (WaitForSingleObject(process, wait) == WAIT_TIMEOUT) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 5000);
        }
    }
    CloseHandle(process);
}

} // namespace

// Deferred, before RemoveFiles; CustomActionData is the install folder with its trailing
// backslash. It never fails the uninstall.
extern "C" UINT __stdcall WaitForServer(MSIHANDLE install)
{
    wchar_t folder[MAX_PATH] = {};
    DWORD length = MAX_PATH;
    if (MsiGetPropertyW(install, L"CustomActionData", folder, &length) != ERROR_SUCCESS ||
        folder[0] == L'\0')
        return ERROR_SUCCESS;
    const DWORD deadline = GetTickCount() + BRIDGE_SHUTDOWN_GRACE_MS + WAIT_BEYOND_GRACE_MS;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return ERROR_SUCCESS;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, SERVER_NAME) == 0)
            EndServer(entry.th32ProcessID, folder, deadline);
    }
    CloseHandle(snapshot);
    return ERROR_SUCCESS;
}
