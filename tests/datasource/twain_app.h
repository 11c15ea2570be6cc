// A small TWAIN application with the source manager's part built in: it loads a .ds as a TWAIN 2
// manager does (LoadLibrary, DS_Entry, DAT_ENTRYPOINT with the manager's entry and memory
// functions) and hands what the source sends (MSG_XFERREADY, MSG_CLOSEDSREQ) to the callback the
// application registered with DAT_CALLBACK. As a TWAIN 1 manager it sends no DAT_ENTRYPOINT: the
// source then uses global memory and leaves its messages for DAT_EVENT.
#pragma once

#include "twain_ext.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

class TwainApp
{
public:
    TwainApp();
    ~TwainApp();
    TwainApp(const TwainApp &) = delete;
    TwainApp &operator=(const TwainApp &) = delete;

    bool Load(const std::wstring &path);
    void Unload();

    // One triplet to the source, from this application.
    TW_UINT16 Send(TW_UINT32 group, TW_UINT16 dat, TW_UINT16 msg, void *data);
    // The condition of the last failure (DAT_STATUS).
    TW_UINT16 Condition();

    // State 3 to 4: the manager's entry points (a TWAIN 2 manager only), then MSG_OPENDS.
    TW_UINT16 Open(bool manager2 = true);
    // Back to state 3 from any state, the way an application unwinds.
    void Close();
    bool IsOpen() const { return m_open; }

    // Messages the source sent through the manager, oldest first; forgotten once taken.
    std::vector<TW_UINT16> TakeMessages();
    // Runs the application's message loop (every message offered to the source through
    // DAT_EVENT first) until the source sends a message or the time is up.
    TW_UINT16 PumpUntilMessage(DWORD timeoutMs);
    // The loop of a TWAIN 1 application: blocking GetMessage, each message to DAT_EVENT, until
    // DAT_EVENT carries a message of the source; MSG_NULL when a guard timer ended the wait.
    TW_UINT16 PumpBlocking(DWORD guardMs);

    // Called from the application's callback with each message, after it was noted.
    std::function<void(TW_UINT16)> onMessage;
    HMODULE Module() const { return m_module; }
    // The module was freed as a manager frees it on MSG_CLOSEDS: this application lets go.
    void ForgetModule();

    // Capability containers handed out by the manager's memory functions and not freed yet.
    LONG LiveContainers() const { return m_liveContainers; }
    void FreeContainer(TW_HANDLE handle);

    const TW_IDENTITY &SourceIdentity() const { return m_source; }

private:
    static TW_UINT16 PASCAL ManagerEntry(pTW_IDENTITY origin, pTW_IDENTITY destination,
                                         TW_UINT32 group, TW_UINT16 dat, TW_UINT16 msg,
                                         TW_MEMREF data);
    static TW_UINT16 PASCAL ApplicationCallback(pTW_IDENTITY origin, pTW_IDENTITY destination,
                                                TW_UINT32 group, TW_UINT16 dat, TW_UINT16 msg,
                                                TW_MEMREF data);
    static TW_HANDLE PASCAL MemAllocate(TW_UINT32 size);
    static void PASCAL MemFree(TW_HANDLE handle);
    static TW_MEMREF PASCAL MemLock(TW_HANDLE handle);
    static void PASCAL MemUnlock(TW_HANDLE handle);

    HMODULE m_module = nullptr;
    DSENTRYPROC m_entry = nullptr;
    TW_IDENTITY m_application = {};
    TW_IDENTITY m_source = {};
    TW_CALLBACK m_callback = {};
    bool m_open = false;
    std::vector<TW_UINT16> m_messages;
    LONG m_liveContainers = 0;
};
