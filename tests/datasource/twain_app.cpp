#include "twain_app.h"

#include <cstring>

namespace {

TwainApp *g_app = nullptr;

void CopyText(TW_STR32 destination, const char *text)
{
    memset(destination, 0, sizeof(TW_STR32));
    strncpy(destination, text, sizeof(TW_STR32) - 1);
}

} // namespace

TwainApp::TwainApp()
{
    g_app = this;
    m_application.Id = 1;
    m_application.Version.MajorNum = 1;
    m_application.Version.Language = TWLG_ENGLISH;
    m_application.Version.Country = TWCY_USA;
    m_application.ProtocolMajor = 2;
    m_application.ProtocolMinor = 4;
    m_application.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
    CopyText(m_application.Manufacturer, "tavrk");
    CopyText(m_application.ProductFamily, "tests");
    CopyText(m_application.ProductName, "TWAIN test application");
    m_source.Id = 2;
}

TwainApp::~TwainApp()
{
    Unload();
    g_app = nullptr;
}

bool TwainApp::Load(const std::wstring &path)
{
    Unload();
    m_module = LoadLibraryW(path.c_str());
    if (m_module == nullptr)
        return false;
    m_entry = reinterpret_cast<DSENTRYPROC>(
        reinterpret_cast<void (*)()>(GetProcAddress(m_module, "DS_Entry")));
    return m_entry != nullptr;
}

void TwainApp::Unload()
{
    Close();
    if (m_module != nullptr)
        FreeLibrary(m_module);
    m_module = nullptr;
    m_entry = nullptr;
}

TW_UINT16 TwainApp::Send(TW_UINT32 group, TW_UINT16 dat, TW_UINT16 msg, void *data)
{
    return m_entry(&m_application, group, dat, msg, data);
}

TW_UINT16 TwainApp::Condition()
{
    TW_STATUS status = {};
    status.ConditionCode = 0xFFFF;
    return Send(DG_CONTROL, DAT_STATUS, MSG_GET, &status) == TWRC_SUCCESS ? status.ConditionCode
                                                                          : 0xFFFF;
}

TW_UINT16 TwainApp::Open(bool manager2)
{
    TW_ENTRYPOINT entry = {};
    entry.Size = sizeof(entry);
    entry.DSM_Entry = &TwainApp::ManagerEntry;
    entry.DSM_MemAllocate = &TwainApp::MemAllocate;
    entry.DSM_MemFree = &TwainApp::MemFree;
    entry.DSM_MemLock = &TwainApp::MemLock;
    entry.DSM_MemUnlock = &TwainApp::MemUnlock;
    TW_UINT16 rc = manager2 ? Send(DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &entry) : TWRC_SUCCESS;
    if (rc != TWRC_SUCCESS)
        return rc;
    // The application's callback, which the manager keeps for this source.
    m_callback = {};
    m_callback.CallBackProc = reinterpret_cast<TW_MEMREF>(&TwainApp::ApplicationCallback);
    m_messages.clear();
    rc = Send(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &m_source);
    m_open = rc == TWRC_SUCCESS;
    return rc;
}

void TwainApp::Close()
{
    if (!m_open || m_entry == nullptr)
        return;
    TW_PENDINGXFERS pending = {};
    Send(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
    Send(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending);
    TW_USERINTERFACE ui = {};
    Send(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
    Send(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &m_source);
    m_open = false;
}

std::vector<TW_UINT16> TwainApp::TakeMessages()
{
    std::vector<TW_UINT16> messages;
    messages.swap(m_messages);
    return messages;
}

TW_UINT16 TwainApp::PumpUntilMessage(DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (m_messages.empty()) {
        MSG message;
        while (m_messages.empty() && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TW_EVENT event = {&message, MSG_NULL};
            const TW_UINT16 rc = Send(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);
            if (event.TWMessage != MSG_NULL)
                m_messages.push_back(event.TWMessage);
            if (rc == TWRC_NOTDSEVENT) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
        const ULONGLONG now = GetTickCount64();
        if (!m_messages.empty() || now >= deadline)
            break;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now),
                                  QS_ALLINPUT);
    }
    return m_messages.empty() ? MSG_NULL : m_messages.front();
}

TW_UINT16 TwainApp::PumpBlocking(DWORD guardMs)
{
    const UINT_PTR guard = SetTimer(nullptr, 0, guardMs, nullptr);
    TW_UINT16 found = MSG_NULL;
    MSG message;
    while (found == MSG_NULL && GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_TIMER && message.wParam == guard)
            break;
        TW_EVENT event = {&message, MSG_NULL};
        const TW_UINT16 rc = Send(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);
        found = event.TWMessage;
        if (rc == TWRC_NOTDSEVENT) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    KillTimer(nullptr, guard);
    return found;
}

void TwainApp::ForgetModule()
{
    m_module = nullptr;
    m_entry = nullptr;
    m_open = false;
}

void TwainApp::FreeContainer(TW_HANDLE handle)
{
    if (handle != nullptr)
        MemFree(handle);
}

TW_UINT16 PASCAL TwainApp::ManagerEntry(pTW_IDENTITY origin, pTW_IDENTITY destination,
                                        TW_UINT32 group, TW_UINT16 dat, TW_UINT16 msg,
                                        TW_MEMREF data)
{
    // A source's message for its application goes to the application's callback.
    if (g_app == nullptr || origin == nullptr || destination == nullptr ||
        origin->Id != g_app->m_source.Id || destination->Id != g_app->m_application.Id ||
        group != DG_CONTROL || dat != DAT_NULL || g_app->m_callback.CallBackProc == nullptr)
        return TWRC_FAILURE;
    auto callback = reinterpret_cast<DSMENTRYPROC>(g_app->m_callback.CallBackProc);
    return callback(origin, destination, group, dat, msg, data);
}

TW_UINT16 PASCAL TwainApp::ApplicationCallback(pTW_IDENTITY, pTW_IDENTITY, TW_UINT32, TW_UINT16,
                                               TW_UINT16 msg, TW_MEMREF)
{
    // As an application should: note it and act on it outside the callback, unless the test
    // acts at once.
    g_app->m_messages.push_back(msg);
    if (g_app->onMessage)
        g_app->onMessage(msg);
    return TWRC_SUCCESS;
}

TW_HANDLE PASCAL TwainApp::MemAllocate(TW_UINT32 size)
{
    HGLOBAL memory = GlobalAlloc(GHND, size);
    if (memory != nullptr && g_app != nullptr)
        ++g_app->m_liveContainers;
    return memory;
}

void PASCAL TwainApp::MemFree(TW_HANDLE handle)
{
    if (GlobalFree(handle) == nullptr && g_app != nullptr)
        --g_app->m_liveContainers;
}

TW_MEMREF PASCAL TwainApp::MemLock(TW_HANDLE handle)
{
    return GlobalLock(handle);
}

void PASCAL TwainApp::MemUnlock(TW_HANDLE handle)
{
    GlobalUnlock(handle);
}
