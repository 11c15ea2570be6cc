// The data source: TWAIN states 3 to 7 over a bridge session, one application at a time.
#pragma once

#include "bridge_session.h"
#include "capabilities.h"
#include "job_dialog.h"
#include "manager_memory.h"
#include "page_transfer.h"
#include "pixel_conversion.h"
#include "progress_window.h"
#include "twain_ext.h"

#include <vector>

class DataSource
{
public:
    explicit DataSource(HINSTANCE instance) : m_instance(instance) {}

    TW_UINT16 Entry(pTW_IDENTITY origin, TW_UINT32 group, TW_UINT16 dat, TW_UINT16 msg,
                    TW_MEMREF data);
    // The condition DAT_STATUS reports next, for a failure that ended a call from outside.
    void SetCondition(TW_UINT16 condition) { m_condition = condition; }
    // The module is unloaded with a session still open: hand it back, on the thread that owns it.
    void Unload();

private:
    TwainResult Status(TW_UINT16 msg, TW_STATUS *status);
    TwainResult Control(pTW_IDENTITY origin, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);
    TwainResult Image(TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);

    TwainResult Identity(pTW_IDENTITY origin, TW_UINT16 msg, pTW_IDENTITY identity);
    TwainResult Open(pTW_IDENTITY origin, pTW_IDENTITY identity);
    TwainResult Close();
    // Back down to `state` from any state above it, ending what is under way.
    void Unwind(int state);
    TwainResult UserInterface(TW_UINT16 msg, TW_USERINTERFACE *ui);
    TwainResult Enable(TW_USERINTERFACE *ui);
    TwainResult Disable();
    TwainResult Event(TW_EVENT *event);
    TwainResult PendingTransfers(TW_UINT16 msg, TW_PENDINGXFERS *pending);
    TwainResult SetupMemory(TW_SETUPMEMXFER *setup);
    TwainResult ImageInfoOf(TW_IMAGEINFO *info);
    TwainResult Layout(TW_UINT16 msg, TW_IMAGELAYOUT *layout);
    // DAT_EXTIMAGEINFO: the page's document (its job, from 1), its page in it, its side.
    TwainResult ExtendedInfo(TW_MEMREF data);
    // The rows one memory strip hands on at most.
    LONG StripRowsAtMost() const;
    // The current page whole, as a DIB in the pixel type delivered, for a native or file transfer.
    TwainResult WholePage(TW_UINT16 mechanism, HGLOBAL *dib);
    TwainResult NativeTransfer(TW_MEMREF data);
    TwainResult SetupFile(TW_UINT16 msg, TW_SETUPFILEXFER *setup);
    TwainResult FileTransfer();
    TwainResult MemoryTransfer(TW_IMAGEMEMXFER *transfer);

    // The job window: what it offers, and what the user chose.
    bool Offer(const std::vector<StoredJob> &jobs);
    void OfferTheRest();
    void OnDialogDone(const std::vector<size_t> &chosen);

    // The batch: the chosen jobs, the bridge's cursor through their pages.
    TwainResult StartBatch(const std::vector<StoredJob> &jobs);
    HRESULT PreparePage();
    TW_UINT16 PendingCount() const;
    void EndPage();
    void Drain();
    void EndBatch();

    void Notify(TW_UINT16 message);

    HINSTANCE m_instance;
    int m_state = 3;
    TW_UINT16 m_condition = TWCC_SUCCESS;
    TW_IDENTITY m_identity = {};
    TW_IDENTITY m_application = {};
    ManagerMemory m_memory;
    Capabilities m_capabilities;
    BridgeSession m_session;
    JobDialog m_dialog;
    ProgressWindow m_progress;
    TW_UINT16 m_pendingEvent = MSG_NULL; // for a TWAIN 1 manager's next DAT_EVENT
    DWORD m_thread = 0;                  // the thread that opened the session
    bool m_showUI = false;               // enabled with the job window
    HWND m_parent = nullptr;             // the application's window, as it gave it

    std::vector<StoredJob> m_offered;      // the jobs the dialog shows
    std::vector<StoredJob> m_jobs;         // the batch, in transfer order
    std::vector<std::wstring> m_delivered; // jobs of this enable that reached the app whole
    size_t m_job = 0;                      // the current job in m_jobs
    LONG m_page = 1;                       // its current page
    LONG m_remaining = 0;                  // pages the bridge has still to deliver
    LONG m_transfersLeft = -1;             // what CAP_XFERCOUNT still allows; -1 no limit
    bool m_jobComplete = true;             // every page of the current job so far reached the app
    bool m_pageReady = false;              // m_shape describes the current page
    bool m_pageDelivered = false;          // the current page's last byte reached the app
    bool m_pageFailed = false;             // a transfer of the current page failed: no retry
    LONG m_rowsDone = 0;                   // memory transfer: rows of the page already handed on
    LONG m_pagesDone = 0;                  // pages of the batch handed on or ended
    std::string m_fileName = "TWAIN.TMP";  // file transfers: where, as the application named it
    PageShape m_shape;                     // the current page as stored
    PageShape m_output;                    // and as delivered, in the pixel type asked for
    PixelConversion m_conversion;          // from the one to the other
    std::vector<BYTE> m_strip;             // a converted memory strip's stored rows
};

// Keeps the module loaded while the source calls out to the application, which may close and
// unload it from inside; the reference goes back at the next entry.
void HoldModuleDuringCallout();
