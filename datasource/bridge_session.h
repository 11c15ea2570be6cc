// The source's road through the bridge server: COM for the caller's thread, activation, the
// scanner, the user's account and the listing of the user's ready jobs.
#pragma once

#include "settings.h"
#include "sti_scanner_com_bridge.h"

#include <windows.h>

#include <string>
#include <vector>

// COM for the calling thread, uninitialised only when this object initialised it. A thread
// already in the multithreaded apartment keeps it: the bridge is reached through a proxy either
// way.
class ComApartment
{
public:
    ComApartment() = default;
    ComApartment(const ComApartment &) = delete;
    ComApartment &operator=(const ComApartment &) = delete;
    ~ComApartment() { Leave(); }

    HRESULT Enter();
    void Leave();

private:
    bool m_initialised = false;
};

// A stored job of the user, ready for transfer.
struct StoredJob
{
    LONG index = 0; // in the bridge's item list
    std::wstring name;
    std::wstring title;
    LONG pages = 0;
    SYSTEMTIME time = {};
};

// No supported scanner is connected: HRESULT_FROM_WIN32(ERROR_DEV_NOT_EXIST).
constexpr HRESULT E_NO_SCANNER = static_cast<HRESULT>(0x80070037L);

// The server cannot be reached any more: it ended, was killed or its connection broke.
bool IsBridgeGone(HRESULT hr);

class BridgeSession
{
public:
    BridgeSession() = default;
    BridgeSession(const BridgeSession &) = delete;
    BridgeSession &operator=(const BridgeSession &) = delete;
    ~BridgeSession() { Close(); }

    // Activates the server and opens the user's account; on failure nothing stays open.
    HRESULT Open(const SourceSettings &settings);
    void Close();
    // Close for a module being unloaded: the thread's COM stays as it is, since COM must not be
    // uninitialised while the loader lock is held.
    void Release();
    bool IsOpen() const { return m_bridge != nullptr; }

    // Whether the server still answers; a call that no driver sees.
    bool Reachable() const;

    // Fetches the item list afresh and gives the user's ready jobs; with panelFirst, only the job
    // the device's panel selected when it is one of them. The list stays held for the transfer.
    HRESULT ListReadyJobs(bool panelFirst, std::vector<StoredJob> *jobs);

    bool DeleteAfterScan() const { return m_deleteAfterScan; }
    IStiScannerComBridge *Bridge() const { return m_bridge; }

private:
    HRESULT ChooseScanner(const SourceSettings &settings);
    HRESULT OpenAccount(const SourceSettings &settings);
    HRESULT DescribeJob(LONG index, StoredJob *job);

    ComApartment m_apartment;
    IStiScannerComBridge *m_bridge = nullptr;
    bool m_eventsRegistered = false;
    bool m_deleteAfterScan = false;
};
