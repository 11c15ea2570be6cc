#include "data_source.h"

#include "file_writer.h"
#include "owners.h"
#include "triplet_log.h"
#include "transfer_kinds.h"

#include <algorithm>
#include <cstring>

static_assert(sizeof(TW_IMAGEINFO) == sizeof(ImageInfo), "ImageInfo is TW_IMAGEINFO's layout");

namespace {

constexpr TW_UINT32 PREFERRED_BUFFER = 1024 * 1024;
// Where a file transfer writes before the application names a file: TWAIN's default.
constexpr char DEFAULT_FILE_NAME[] = "TWAIN.TMP";
// The stored rows of one converted memory strip at most.
constexpr size_t CONVERTED_STRIP_BYTES = 4 * 1024 * 1024;

TW_UINT16 ConditionOf(HRESULT hr)
{
    // The server went: the road to the device is gone.
    if (IsBridgeGone(hr))
        return TWCC_CHECKDEVICEONLINE;
    switch (hr) {
    case E_OUTOFMEMORY:
        return TWCC_LOWMEMORY;
    case E_ACCESSDENIED:
        return TWCC_DENIED;
    case E_NO_SCANNER:
        return TWCC_CHECKDEVICEONLINE;
    default:
        return TWCC_OPERATIONERROR;
    }
}

void CopyText(TW_STR32 destination, const char *text)
{
    memset(destination, 0, sizeof(TW_STR32));
    strncpy(destination, text, sizeof(TW_STR32) - 1);
}

// A file name as the application's code page spells it, in UTF-16; empty for none.
std::wstring WideName(const std::string &name)
{
    wchar_t wide[MAX_PATH] = {};
    if (name.empty() || MultiByteToWideChar(CP_ACP, 0, name.c_str(), -1, wide, MAX_PATH) == 0)
        return std::wstring();
    return wide;
}

bool SameApplication(const TW_IDENTITY &a, const TW_IDENTITY *b)
{
    return b != nullptr && a.Id == b->Id;
}

} // namespace

TW_UINT16 DataSource::Entry(pTW_IDENTITY origin, TW_UINT32 group, TW_UINT16 dat, TW_UINT16 msg,
                            TW_MEMREF data)
{
    // The diagnostics settings are read at each open: a change needs no new application.
    if (group == DG_CONTROL && dat == DAT_IDENTITY && msg == MSG_OPENDS)
        LogConfigure(L"source");
    const LogTimer timer;
    TwainResult result;
    if (group == DG_CONTROL && dat == DAT_STATUS)
        result = Status(msg, static_cast<TW_STATUS *>(data));
    else if (group == DG_CONTROL)
        result = Control(origin, dat, msg, data);
    else if (group == DG_IMAGE)
        result = Image(dat, msg, data);
    else
        result = Failure(TWCC_BADPROTOCOL);
    LogTriplet(origin, group, dat, msg, data, result, timer);
    // Events pass through by the thousand: they leave the condition of the last real request.
    if (!(group == DG_CONTROL && dat == DAT_EVENT && result.rc != TWRC_FAILURE))
        m_condition = result.condition;
    return result.rc;
}

TwainResult DataSource::Status(TW_UINT16 msg, TW_STATUS *status)
{
    // The last condition is kept whatever the state: a manager asks for it after a failed open.
    // Reading it clears it.
    if (msg != MSG_GET)
        return Failure(TWCC_BADPROTOCOL);
    if (status == nullptr)
        return Failure(TWCC_BADVALUE);
    status->ConditionCode = m_condition;
    status->Reserved = 0;
    return {};
}

TwainResult DataSource::Control(pTW_IDENTITY origin, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data)
{
    switch (dat) {
    case DAT_ENTRYPOINT: {
        if (msg != MSG_SET)
            return Failure(TWCC_BADPROTOCOL);
        const auto *entry = static_cast<const TW_ENTRYPOINT *>(data);
        if (entry == nullptr || entry->Size < sizeof(TW_ENTRYPOINT))
            return Failure(TWCC_BADVALUE);
        m_memory.Set(*entry);
        return {};
    }
    case DAT_IDENTITY:
        return Identity(origin, msg, static_cast<pTW_IDENTITY>(data));
    case DAT_CAPABILITY: {
        if (msg != MSG_GET && msg != MSG_GETCURRENT && msg != MSG_GETDEFAULT && msg != MSG_SET &&
            msg != MSG_RESET && msg != MSG_RESETALL && msg != MSG_QUERYSUPPORT)
            return Failure(TWCC_BADPROTOCOL);
        if (m_state < 4)
            return Failure(TWCC_SEQERROR);
        auto *capability = static_cast<TW_CAPABILITY *>(data);
        if (m_state == 6)
            PreparePage();
        if (capability != nullptr && capability->Cap == CAP_DEVICEONLINE)
            m_capabilities.SetDeviceOnline(m_session.Reachable());
        const ImageInfo *page = m_state >= 6 && m_pageReady ? &m_output.info : nullptr;
        return m_capabilities.Handle(msg, capability, m_state, page, m_memory);
    }
    case DAT_USERINTERFACE:
        return UserInterface(msg, static_cast<TW_USERINTERFACE *>(data));
    case DAT_EVENT:
        if (msg != MSG_PROCESSEVENT)
            return Failure(TWCC_BADPROTOCOL);
        return Event(static_cast<TW_EVENT *>(data));
    case DAT_PENDINGXFERS:
        return PendingTransfers(msg, static_cast<TW_PENDINGXFERS *>(data));
    case DAT_SETUPMEMXFER:
        if (msg != MSG_GET)
            return Failure(TWCC_BADPROTOCOL);
        return SetupMemory(static_cast<TW_SETUPMEMXFER *>(data));
    case DAT_SETUPFILEXFER:
        if (msg != MSG_GET && msg != MSG_GETDEFAULT && msg != MSG_SET && msg != MSG_RESET)
            return Failure(TWCC_BADPROTOCOL);
        return SetupFile(msg, static_cast<TW_SETUPFILEXFER *>(data));
    case DAT_XFERGROUP:
        if (msg != MSG_GET)
            return Failure(TWCC_BADPROTOCOL);
        if (m_state < 4)
            return Failure(TWCC_SEQERROR);
        if (data == nullptr)
            return Failure(TWCC_BADVALUE);
        *static_cast<TW_UINT32 *>(data) = DG_IMAGE;
        return {};
    default:
        return Failure(TWCC_BADPROTOCOL);
    }
}

TwainResult DataSource::Image(TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data)
{
    switch (dat) {
    case DAT_IMAGEINFO:
        if (msg != MSG_GET)
            return Failure(TWCC_BADPROTOCOL);
        return ImageInfoOf(static_cast<TW_IMAGEINFO *>(data));
    case DAT_IMAGELAYOUT:
        if (msg != MSG_GET && msg != MSG_GETCURRENT && msg != MSG_GETDEFAULT && msg != MSG_SET &&
            msg != MSG_RESET)
            return Failure(TWCC_BADPROTOCOL);
        return Layout(msg, static_cast<TW_IMAGELAYOUT *>(data));
    case DAT_EXTIMAGEINFO:
        if (msg != MSG_GET)
            return Failure(TWCC_BADPROTOCOL);
        return ExtendedInfo(data);
    case DAT_IMAGENATIVEXFER:
        if (msg != MSG_GET)
            return Failure(TWCC_BADPROTOCOL);
        return NativeTransfer(data);
    case DAT_IMAGEMEMXFER:
        if (msg != MSG_GET)
            return Failure(TWCC_BADPROTOCOL);
        return MemoryTransfer(static_cast<TW_IMAGEMEMXFER *>(data));
    case DAT_IMAGEFILEXFER:
        if (msg != MSG_GET)
            return Failure(TWCC_BADPROTOCOL);
        return FileTransfer();
    default:
        return Failure(TWCC_BADPROTOCOL);
    }
}

TwainResult DataSource::Identity(pTW_IDENTITY origin, TW_UINT16 msg, pTW_IDENTITY identity)
{
    if (msg != MSG_GET && msg != MSG_OPENDS && msg != MSG_CLOSEDS)
        return Failure(TWCC_BADPROTOCOL);
    if (msg == MSG_CLOSEDS)
        return Close();
    if (identity == nullptr)
        return Failure(TWCC_BADVALUE);
    identity->Version.MajorNum = 1;
    identity->Version.MinorNum = 0;
    identity->Version.Language = TWLG_ENGLISH;
    identity->Version.Country = TWCY_USA;
    CopyText(identity->Version.Info, "1.0");
    identity->ProtocolMajor = SOURCE_PROTOCOL_MAJOR;
    identity->ProtocolMinor = SOURCE_PROTOCOL_MINOR;
    identity->SupportedGroups = DG_CONTROL | DG_IMAGE | DF_DS2;
    CopyText(identity->Manufacturer, "tavrk");
    CopyText(identity->ProductFamily, "STI scanner bridge");
    CopyText(identity->ProductName, "STI Bridge Stored Jobs");
    if (msg == MSG_GET)
        return {};
    return Open(origin, identity);
}

TwainResult DataSource::Open(pTW_IDENTITY origin, pTW_IDENTITY identity)
{
    if (m_state != 3)
        return Failure(SameApplication(m_application, origin) ? TWCC_SEQERROR
                                                              : TWCC_MAXCONNECTIONS);
    if (origin == nullptr)
        return Failure(TWCC_BADVALUE);
    const HRESULT hr = m_session.Open(ReadSourceSettings());
    if (FAILED(hr))
        return Failure(ConditionOf(hr));
    m_identity = *identity;
    m_application = *origin;
    m_capabilities.Reset();
    m_fileName = DEFAULT_FILE_NAME;
    m_pendingEvent = MSG_NULL;
    m_thread = GetCurrentThreadId();
    m_state = 4;
    return {};
}

TwainResult DataSource::Close()
{
    // An application's error path closes from any state: what is under way ends here.
    if (m_state < 4)
        return Failure(TWCC_SEQERROR);
    Unwind(3);
    return {};
}

void DataSource::Unwind(int state)
{
    if (m_state >= 6 && state < 6)
        EndBatch();
    if (m_state == 5 && state < 5) {
        m_dialog.Close();
        m_offered.clear();
        m_delivered.clear();
        // A request queued for DAT_EVENT belongs to this session only.
        m_pendingEvent = MSG_NULL;
        m_state = 4;
    }
    if (m_state == 4 && state < 4) {
        m_session.Close();
        m_memory.Clear();
        m_state = 3;
    }
}

void DataSource::Unload()
{
    // COM objects belong to their thread; elsewhere the process's end releases them.
    if (m_state < 4 || GetCurrentThreadId() != m_thread)
        return;
    // Windows go on the thread that made them, before their window procedure's module does.
    m_dialog.Close();
    m_progress.Close();
    m_session.Release();
    m_state = 3;
}

TwainResult DataSource::UserInterface(TW_UINT16 msg, TW_USERINTERFACE *ui)
{
    if (msg == MSG_ENABLEDS)
        return Enable(ui);
    if (msg == MSG_DISABLEDS)
        return Disable();
    return Failure(TWCC_BADPROTOCOL);
}

TwainResult DataSource::Enable(TW_USERINTERFACE *ui)
{
    if (m_state != 4)
        return Failure(TWCC_SEQERROR);
    if (ui == nullptr)
        return Failure(TWCC_BADVALUE);
    m_showUI = ui->ShowUI != FALSE;
    m_parent = static_cast<HWND>(ui->hParent);
    m_delivered.clear();
    std::vector<StoredJob> jobs;
    // Without a user interface the job chosen on the device's panel goes first.
    const HRESULT hr = m_session.ListReadyJobs(!m_showUI, &jobs);
    if (FAILED(hr))
        return Failure(ConditionOf(hr));
    m_state = 5;
    if (m_showUI) {
        // The user picks; an empty mailbox is said in the window, which asks to close.
        if (!Offer(jobs)) {
            m_state = 4;
            return Failure(TWCC_LOWMEMORY);
        }
        ui->ModalUI = TRUE;
        return {};
    }
    if (jobs.empty()) {
        // An empty mailbox is no error: nothing to transfer, the application may close.
        Notify(MSG_CLOSEDSREQ);
        return {};
    }
    const TwainResult started = StartBatch(jobs);
    if (started.rc != TWRC_SUCCESS) {
        m_state = 4;
        return started;
    }
    m_state = 6;
    Notify(MSG_XFERREADY);
    return {};
}

bool DataSource::Offer(const std::vector<StoredJob> &jobs)
{
    m_offered = jobs;
    return m_dialog.Show(m_instance, m_parent, m_offered,
                         [this](const std::vector<size_t> &chosen) { OnDialogDone(chosen); });
}

void DataSource::OfferTheRest()
{
    // After a batch from the window: the jobs not yet transferred whole, or the request to close.
    std::vector<StoredJob> jobs;
    const HRESULT hr = m_session.ListReadyJobs(false, &jobs);
    jobs.erase(std::remove_if(jobs.begin(), jobs.end(),
                              [this](const StoredJob &job) {
                                  return std::find(m_delivered.begin(), m_delivered.end(),
                                                   job.name) != m_delivered.end();
                              }),
               jobs.end());
    if (FAILED(hr) || jobs.empty() || !Offer(jobs))
        Notify(MSG_CLOSEDSREQ);
}

void DataSource::OnDialogDone(const std::vector<size_t> &chosen)
{
    if (m_state != 5)
        return;
    std::vector<StoredJob> jobs;
    for (size_t position : chosen) {
        if (position < m_offered.size())
            jobs.push_back(m_offered[position]);
    }
    if (jobs.empty() || StartBatch(jobs).rc != TWRC_SUCCESS) {
        Notify(MSG_CLOSEDSREQ);
        return;
    }
    m_state = 6;
    Notify(MSG_XFERREADY);
}

TwainResult DataSource::Disable()
{
    // Pending transfers end with the source: an application's error path disables from 6 or 7.
    if (m_state < 5)
        return Failure(TWCC_SEQERROR);
    Unwind(4);
    return {};
}

TwainResult DataSource::Event(TW_EVENT *event)
{
    if (m_state < 5)
        return Failure(TWCC_SEQERROR);
    if (event == nullptr)
        return Failure(TWCC_BADVALUE);
    event->TWMessage = MSG_NULL;
    if (m_pendingEvent != MSG_NULL) {
        event->TWMessage = m_pendingEvent;
        m_pendingEvent = MSG_NULL;
        return {TWRC_DSEVENT, TWCC_SUCCESS};
    }
    HWND dialog = m_dialog.Window();
    if (dialog != nullptr && event->pEvent != nullptr &&
        IsDialogMessageW(dialog, static_cast<MSG *>(event->pEvent)))
        return {TWRC_DSEVENT, TWCC_SUCCESS};
    return {TWRC_NOTDSEVENT, TWCC_SUCCESS};
}

void DataSource::Notify(TW_UINT16 message)
{
    DSMENTRYPROC manager = m_memory.ManagerEntry();
    if (manager == nullptr) {
        // A TWAIN 1 application finds it in its next DAT_EVENT; a posted message wakes its
        // loop, as a TWAIN 2 manager does for an application without a callback.
        m_pendingEvent = message;
        if (m_parent != nullptr && IsWindow(m_parent))
            PostMessageW(m_parent, WM_NULL, 0, 0);
        else
            PostThreadMessageW(GetCurrentThreadId(), WM_NULL, 0, 0);
        return;
    }
    // A TWAIN 2 manager passes it to the application's callback at once.
    HoldModuleDuringCallout();
    manager(&m_identity, &m_application, DG_CONTROL, DAT_NULL, message, nullptr);
}

TwainResult DataSource::StartBatch(const std::vector<StoredJob> &jobs)
{
    IStiScannerComBridge *bridge = m_session.Bridge();
    std::vector<LONG> indices;
    for (const StoredJob &job : jobs)
        indices.push_back(job.index);
    LONG remaining = 0;
    HRESULT hr = LogStep("SetPagesRemaining", bridge->SetPagesRemaining(0));
    if (SUCCEEDED(hr))
        hr = LogStep("SetSelection",
                     bridge->SetSelection(indices.data(), static_cast<LONG>(indices.size())));
    if (SUCCEEDED(hr))
        hr = LogStep("AdvancePage", bridge->AdvancePage(1, &remaining));
    if (FAILED(hr))
        return Failure(ConditionOf(hr));
    if (remaining <= 0)
        return Failure(TWCC_OPERATIONERROR);
    m_jobs = jobs;
    m_job = 0;
    m_page = 1;
    m_remaining = remaining;
    m_transfersLeft = m_capabilities.XferCount();
    m_pagesDone = 0;
    LONG batchPages = 0;
    for (const StoredJob &job : jobs)
        batchPages += job.pages;
    if (m_capabilities.Indicators())
        m_progress.Show(m_instance, m_parent, batchPages);
    m_jobComplete = true;
    m_pageReady = false;
    m_pageDelivered = false;
    m_pageFailed = false;
    return {};
}

HRESULT DataSource::PreparePage()
{
    if (m_pageReady)
        return S_OK;
    IStiScannerComBridge *bridge = m_session.Bridge();
    ImageInfo info = {};
    HRESULT hr = LogStep("GetImageInfo", bridge->GetImageInfo(&info, 1));
    if (FAILED(hr))
        return hr;
    UniqueBstr name;
    LONG page = 0;
    hr = LogStep("GetCurrentItem", bridge->GetCurrentItem(name.put(), &page));
    if (FAILED(hr))
        return hr;
    // The bridge's cursor and the batch must agree on the page, or nothing is handed on.
    if (m_job >= m_jobs.size() || name.get() == nullptr || m_jobs[m_job].name != name.get() ||
        page != m_page)
        return LogStep("the bridge is at another page", E_UNEXPECTED);
    if (!m_shape.Describe(info))
        return LogStep("a page the source cannot hand on", E_NOTIMPL);
    // The pixel type the application asked for, else the stored page's depth.
    const TW_UINT16 asked = m_capabilities.AskedPixelType();
    const TW_UINT16 stored = m_shape.bitsPerPixel == 1   ? TW_UINT16{TWPT_BW}
                             : m_shape.bitsPerPixel == 8 ? TW_UINT16{TWPT_GRAY}
                                                         : TW_UINT16{TWPT_RGB};
    m_conversion = PixelConversion(m_shape, asked != PIXEL_AS_STORED ? asked : stored,
                                   m_capabilities.Threshold(), m_capabilities.Vanilla());
    if (!m_output.Describe(m_conversion.Delivered(m_shape.info)))
        return LogStep("a page too wide in the pixel type asked for", E_NOTIMPL);
    m_pageReady = true;
    m_rowsDone = 0;
    m_pageDelivered = false;
    m_pageFailed = false;
    // Last: the window handles its messages here.
    m_progress.Update(m_jobs[m_job].title, m_page, m_jobs[m_job].pages, m_pagesDone);
    return S_OK;
}

TW_UINT16 DataSource::PendingCount() const
{
    if (m_transfersLeft == 0 || m_remaining <= 0)
        return 0;
    LONG count = m_remaining;
    if (m_transfersLeft > 0 && count > m_transfersLeft)
        count = m_transfersLeft;
    return static_cast<TW_UINT16>(count < 0xFFFE ? count : 0xFFFE);
}

void DataSource::EndPage()
{
    IStiScannerComBridge *bridge = m_session.Bridge();
    const bool delivered = m_pageDelivered;
    const bool described = m_pageReady;
    if (!delivered)
        m_jobComplete = false;
    m_pageReady = false;
    m_pageDelivered = false;
    m_pageFailed = false;
    ++m_pagesDone;
    // The bridge moves to the next job only with the page count of a described page.
    if (!described) {
        ImageInfo info = {};
        bridge->GetImageInfo(&info, 1);
    }
    LONG remaining = 0;
    bridge->AdvancePage(0, &remaining);
    // A server that went leaves nothing remaining; its failed page kept the job from deletion.
    m_remaining = remaining;
    if (delivered && m_transfersLeft > 0)
        --m_transfersLeft;
    if (m_job < m_jobs.size() && ++m_page > m_jobs[m_job].pages) {
        // Every page of the job reached the application: now the user's preference may delete it.
        if (m_jobComplete) {
            m_delivered.push_back(m_jobs[m_job].name);
            if (m_session.DeleteAfterScan())
                bridge->DeleteItem(m_jobs[m_job].index);
        }
        ++m_job;
        m_page = 1;
        m_jobComplete = true;
    }
}

void DataSource::Drain()
{
    // Pages left behind are stepped over, so that a later batch starts on a first page.
    IStiScannerComBridge *bridge = m_session.Bridge();
    for (LONG guard = m_remaining; m_remaining > 0 && guard > 0; --guard) {
        ImageInfo info = {};
        bridge->GetImageInfo(&info, 0);
        LONG remaining = 0;
        bridge->AdvancePage(0, &remaining);
        m_remaining = remaining;
    }
    m_remaining = 0;
}

void DataSource::EndBatch()
{
    m_progress.Close();
    if (m_remaining > 0)
        Drain();
    m_jobs.clear();
    m_pageReady = false;
    m_state = 5;
}

TwainResult DataSource::PendingTransfers(TW_UINT16 msg, TW_PENDINGXFERS *pending)
{
    if (msg != MSG_GET && msg != MSG_ENDXFER && msg != MSG_RESET)
        return Failure(TWCC_BADPROTOCOL);
    const bool transferring = m_state == 6 || m_state == 7;
    if ((msg == MSG_GET && m_state < 4) || (msg != MSG_GET && !transferring))
        return Failure(TWCC_SEQERROR);
    if (pending == nullptr)
        return Failure(TWCC_BADVALUE);
    memset(pending, 0, sizeof(*pending)); // no job control: EOJ stays 0
    if (msg == MSG_GET) {
        pending->Count = transferring ? PendingCount() : 0;
        return {};
    }
    if (msg == MSG_ENDXFER)
        EndPage();
    // A reset, or Cancel in the progress window, stops the batch here: the jobs not complete
    // stay on the device.
    pending->Count = msg == MSG_ENDXFER && !m_progress.Cancelled() ? PendingCount() : 0;
    if (pending->Count != 0) {
        m_state = 6;
        return {};
    }
    EndBatch();
    // With its window the source stays enabled: it offers what is left, or asks to be closed.
    if (m_showUI)
        OfferTheRest();
    return {};
}

TwainResult DataSource::SetupMemory(TW_SETUPMEMXFER *setup)
{
    if (m_state < 4 || m_state > 6)
        return Failure(TWCC_SEQERROR);
    if (setup == nullptr)
        return Failure(TWCC_BADVALUE);
    if (m_state == 6)
        PreparePage();
    // One row of the widest page the source hands on: an application may keep the buffer for
    // every page of the session.
    setup->MinBufSize = static_cast<TW_UINT32>(MAX_ROW_BYTES);
    if (m_state == 6 && m_pageReady) {
        const TW_UINT32 row = static_cast<TW_UINT32>(m_output.paddedRow);
        setup->Preferred = row * (PREFERRED_BUFFER / row);
        // As many rows as one strip hands on, in 64 bits: a converted row may be far wider than
        // the stored one.
        const unsigned long long most = static_cast<unsigned long long>(StripRowsAtMost()) * row;
        setup->MaxBufSize =
            static_cast<TW_UINT32>(most < MAX_TRANSFER_BUFFER ? most : MAX_TRANSFER_BUFFER);
        if (setup->MaxBufSize < setup->Preferred)
            setup->Preferred = setup->MaxBufSize;
    } else {
        setup->Preferred = PREFERRED_BUFFER;
        setup->MaxBufSize = MAX_TRANSFER_BUFFER;
    }
    return {};
}

LONG DataSource::StripRowsAtMost() const
{
    // A converted strip passes through a buffer of the stored rows: a few MiB, never the page.
    const size_t most = m_conversion.Active() ? CONVERTED_STRIP_BYTES / m_shape.paddedRow
                                              : MAX_TRANSFER_BUFFER / m_shape.rawRow;
    return most > 0 ? static_cast<LONG>(most) : 1;
}

TwainResult DataSource::ImageInfoOf(TW_IMAGEINFO *info)
{
    if (m_state != 6 && m_state != 7)
        return Failure(TWCC_SEQERROR);
    if (info == nullptr)
        return Failure(TWCC_BADVALUE);
    const HRESULT hr = PreparePage();
    if (FAILED(hr))
        return Failure(ConditionOf(hr));
    // What is delivered, not what is stored.
    memcpy(info, &m_output.info, sizeof(*info));
    return {};
}

TwainResult DataSource::Layout(TW_UINT16 msg, TW_IMAGELAYOUT *layout)
{
    const bool change = msg == MSG_SET || msg == MSG_RESET;
    if (m_state < 4 || m_state > 6 || (change && m_state != 4))
        return Failure(TWCC_SEQERROR);
    if (layout == nullptr)
        return Failure(TWCC_BADVALUE);
    if (m_state == 6)
        PreparePage();
    // The page that comes next, or the device's largest before one is known.
    const bool known = m_state == 6 && m_pageReady && msg != MSG_GETDEFAULT;
    memset(layout, 0, sizeof(*layout));
    layout->Frame = PageFrame(known ? &m_shape.info : nullptr, m_capabilities.Units());
    layout->DocumentNumber = m_state == 6 ? static_cast<TW_UINT32>(m_job + 1) : 1;
    layout->PageNumber = m_state == 6 ? static_cast<TW_UINT32>(m_page) : 1;
    layout->FrameNumber = 1;
    // Stored pages keep their frame: a new one is answered with the frame that stays.
    return msg == MSG_SET ? TwainResult{TWRC_CHECKSTATUS, TWCC_SUCCESS} : TwainResult{};
}

TwainResult DataSource::ExtendedInfo(TW_MEMREF data)
{
    // The page just transferred, or the one about to be.
    if ((m_state != 6 && m_state != 7) || m_job >= m_jobs.size())
        return Failure(TWCC_SEQERROR);
    constexpr TW_UINT32 MOST_INFOS = 256;
    ExtImageInfoHead head;
    if (data == nullptr)
        return Failure(TWCC_BADVALUE);
    memcpy(&head, data, sizeof(head));
    if (head.NumInfos > MOST_INFOS)
        return Failure(TWCC_BADVALUE);
    // A TWAIN 2 application's items hold a pointer-sized Item; one built with a TWAIN 1.x header
    // has 32 bits there, which is all the source writes for it.
    const bool wide = (m_application.SupportedGroups & DF_APP2) != 0;
    const size_t itemBytes =
        wide ? sizeof(ExtImageInfoItem) : offsetof(ExtImageInfoItem, Item) + sizeof(TW_UINT32);
    // Each stored job is a document; its pages count from 1.
    BYTE *at = static_cast<BYTE *>(data) + sizeof(head);
    for (TW_UINT32 i = 0; i < head.NumInfos; ++i, at += itemBytes) {
        ExtImageInfoItem info = {};
        memcpy(&info, at, offsetof(ExtImageInfoItem, Item));
        info.NumItems = 1;
        info.ReturnCode = TWRC_SUCCESS;
        switch (info.InfoID) {
        case TWEI_DOCUMENTNUMBER:
            info.ItemType = TWTY_UINT32;
            info.Item = m_job + 1;
            break;
        case TWEI_PAGENUMBER:
            info.ItemType = TWTY_UINT32;
            info.Item = static_cast<UINT_PTR>(m_page);
            break;
        case TWEI_PAGESIDE:
            info.ItemType = TWTY_UINT16;
            info.Item = TWCS_TOP;
            break;
        default:
            info.NumItems = 0;
            info.Item = 0;
            info.ReturnCode = TWRC_INFONOTSUPPORTED;
            break;
        }
        memcpy(at, &info, offsetof(ExtImageInfoItem, Item));
        const TW_UINT32 narrow = static_cast<TW_UINT32>(info.Item);
        if (wide)
            memcpy(at + offsetof(ExtImageInfoItem, Item), &info.Item, sizeof(info.Item));
        else
            memcpy(at + offsetof(ExtImageInfoItem, Item), &narrow, sizeof(narrow));
    }
    return {};
}

TwainResult DataSource::SetupFile(TW_UINT16 msg, TW_SETUPFILEXFER *setup)
{
    if (m_state < 4 || m_state > 6)
        return Failure(TWCC_SEQERROR);
    if (setup == nullptr)
        return Failure(TWCC_BADVALUE);
    if (msg == MSG_SET) {
        const std::string name(setup->FileName, strnlen(setup->FileName, sizeof(setup->FileName)));
        if (!IsFileFormat(setup->Format) || WideName(name).empty())
            return Failure(TWCC_BADVALUE);
        m_fileName = name;
        m_capabilities.SetFileFormat(setup->Format);
        return {};
    }
    if (msg == MSG_RESET) {
        m_fileName = DEFAULT_FILE_NAME;
        m_capabilities.SetFileFormat(TWFF_BMP);
    }
    const bool fallback = msg == MSG_GETDEFAULT;
    memset(setup, 0, sizeof(*setup));
    strncpy(setup->FileName, fallback ? DEFAULT_FILE_NAME : m_fileName.c_str(),
            sizeof(setup->FileName) - 1);
    setup->Format = fallback ? TW_UINT16{TWFF_BMP} : m_capabilities.FileFormat();
    return {};
}

TwainResult DataSource::WholePage(TW_UINT16 mechanism, HGLOBAL *dib)
{
    if (m_state != 6 || m_capabilities.XferMech() != mechanism)
        return Failure(TWCC_SEQERROR);
    if (m_progress.Cancelled()) {
        m_state = 7;
        return {TWRC_CANCEL, TWCC_SUCCESS};
    }
    // A page that failed is never handed on from wherever the driver stopped.
    if (m_pageFailed)
        return Failure(TWCC_SEQERROR);
    HRESULT hr = PreparePage();
    if (FAILED(hr))
        return Failure(ConditionOf(hr));
    const wchar_t *item = m_jobs[m_job].name.c_str();
    hr = m_conversion.Active()
             ? BuildDib(m_session.Bridge(), item, m_shape, m_output, m_conversion, dib)
             : FetchNativeDib(m_session.Bridge(), item, m_page, m_shape, dib);
    if (FAILED(hr)) {
        m_pageFailed = true;
        return Failure(ConditionOf(hr));
    }
    return {};
}

TwainResult DataSource::FileTransfer()
{
    UniqueHGlobal dib;
    const TwainResult fetched = WholePage(TWSX_FILE, dib.put());
    if (fetched.rc != TWRC_SUCCESS)
        return fetched;
    const BYTE *bits = static_cast<const BYTE *>(GlobalLock(dib.get()));
    const HRESULT hr = bits == nullptr ? E_OUTOFMEMORY
                                       : LogStep("writing the file",
                                                 WritePageFile(WideName(m_fileName).c_str(),
                                                               m_capabilities.FileFormat(), bits));
    if (bits != nullptr)
        GlobalUnlock(dib.get());
    if (FAILED(hr)) {
        // The page is not delivered; its rows are gone from the driver.
        m_pageFailed = true;
        const bool noFolder = hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) ||
                              hr == HRESULT_FROM_WIN32(ERROR_INVALID_NAME);
        return Failure(noFolder ? TWCC_BADDEST : TWCC_FILEWRITEERROR);
    }
    m_pageDelivered = true;
    m_state = 7;
    return {TWRC_XFERDONE, TWCC_SUCCESS};
}

TwainResult DataSource::NativeTransfer(TW_MEMREF data)
{
    if (data == nullptr)
        return Failure(TWCC_BADVALUE);
    HGLOBAL dib = nullptr;
    const TwainResult fetched = WholePage(TWSX_NATIVE, &dib);
    if (fetched.rc != TWRC_SUCCESS)
        return fetched;
    // The application owns the handle from here and frees it with GlobalFree.
    *static_cast<TW_HANDLE *>(data) = dib;
    m_pageDelivered = true;
    m_state = 7;
    return {TWRC_XFERDONE, TWCC_SUCCESS};
}

TwainResult DataSource::MemoryTransfer(TW_IMAGEMEMXFER *transfer)
{
    if ((m_state != 6 && m_state != 7) || m_capabilities.XferMech() != TWSX_MEMORY ||
        (m_state == 7 && m_pageDelivered))
        return Failure(TWCC_SEQERROR);
    if (transfer == nullptr)
        return Failure(TWCC_BADVALUE);
    // A page that failed is never handed on from wherever the driver stopped.
    if (m_pageFailed)
        return Failure(TWCC_SEQERROR);
    if (m_progress.Cancelled()) {
        m_state = 7;
        return {TWRC_CANCEL, TWCC_SUCCESS};
    }
    HRESULT hr = PreparePage();
    if (FAILED(hr))
        return Failure(ConditionOf(hr));
    TW_MEMORY &memory = transfer->Memory;
    const bool handle = (memory.Flags & TWMF_HANDLE) != 0;
    BYTE *buffer = static_cast<BYTE *>(handle ? m_memory.Lock(memory.TheMem) : memory.TheMem);
    if (buffer == nullptr || memory.Length < m_output.paddedRow) {
        if (handle && buffer != nullptr)
            m_memory.Unlock(memory.TheMem);
        return Failure(TWCC_BADVALUE);
    }
    LONG rows = static_cast<LONG>(memory.Length / m_output.paddedRow);
    const LONG left = m_shape.height - m_rowsDone;
    const LONG most = StripRowsAtMost();
    rows = rows < left ? rows : left;
    rows = rows < most ? rows : most;
    LONG status = TRANSFER_STATUS_MORE;
    const wchar_t *item = m_jobs[m_job].name.c_str();
    bool fetched = false;
    if (!m_conversion.Active()) {
        hr = FetchRows(m_session.Bridge(), item, m_shape, buffer, rows, &status);
        fetched =
            SUCCEEDED(hr) && (status == TRANSFER_STATUS_MORE || status == TRANSFER_STATUS_DONE);
        if (fetched)
            SwapRedAndBlue(buffer, m_shape, rows);
    } else {
        m_strip.resize(m_shape.paddedRow * static_cast<size_t>(rows));
        hr = FetchRows(m_session.Bridge(), item, m_shape, m_strip.data(), rows, &status);
        fetched =
            SUCCEEDED(hr) && (status == TRANSFER_STATUS_MORE || status == TRANSFER_STATUS_DONE);
        for (LONG r = 0; fetched && r < rows; ++r) {
            BYTE *out = buffer + m_output.paddedRow * static_cast<size_t>(r);
            memset(out, 0, m_output.paddedRow);
            m_conversion.Row(m_strip.data() + m_shape.paddedRow * static_cast<size_t>(r), out,
                             m_shape.width);
        }
    }
    if (handle)
        m_memory.Unlock(memory.TheMem);
    m_state = 7;
    if (!fetched) {
        m_pageFailed = true;
        return Failure(ConditionOf(FAILED(hr) ? hr : E_FAIL));
    }

    transfer->Compression = TWCP_NONE;
    transfer->BytesPerRow = static_cast<TW_UINT32>(m_output.paddedRow);
    transfer->Columns = static_cast<TW_UINT32>(m_shape.width);
    transfer->Rows = static_cast<TW_UINT32>(rows);
    transfer->XOffset = 0;
    transfer->YOffset = static_cast<TW_UINT32>(m_rowsDone);
    transfer->BytesWritten = static_cast<TW_UINT32>(m_output.paddedRow * static_cast<size_t>(rows));
    m_rowsDone += rows;
    if (m_rowsDone == m_shape.height) {
        m_pageDelivered = true;
        return {TWRC_XFERDONE, TWCC_SUCCESS};
    }
    // The driver ended the page before its last row: the page is not whole.
    if (status == TRANSFER_STATUS_DONE) {
        if (LogEnabled(LogLevel::Errors))
            LogStep(
                LogFormat("the page ended at row %ld of %ld", m_rowsDone, m_shape.height).c_str(),
                E_FAIL);
        m_pageFailed = true;
        return Failure(TWCC_OPERATIONERROR);
    }
    return {};
}
