#include "bridge_session.h"

#include "class_ids.h"
#include "diagnostics.h"
#include "owners.h"

#include <objbase.h>

HRESULT ComApartment::Enter()
{
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    // S_FALSE: already initialised in this mode, and still counted.
    m_initialised = SUCCEEDED(hr);
    return hr == RPC_E_CHANGED_MODE ? S_OK : hr;
}

void ComApartment::Leave()
{
    if (m_initialised) {
        m_initialised = false;
        CoUninitialize();
    }
}

bool IsBridgeGone(HRESULT hr)
{
    // RPC_E_DISCONNECTED, RPC_E_SERVER_DIED, RPC_E_SERVER_DIED_DNE, CO_E_OBJNOTCONNECTED, and the
    // RPC runtime's RPC_S_SERVER_UNAVAILABLE, RPC_S_CALL_FAILED, RPC_S_CALL_FAILED_DNE.
    static const HRESULT gone[] = {
        static_cast<HRESULT>(0x80010108L), static_cast<HRESULT>(0x80010007L),
        static_cast<HRESULT>(0x80010012L), static_cast<HRESULT>(0x800401FDL),
        static_cast<HRESULT>(0x800706BAL), static_cast<HRESULT>(0x800706BEL),
        static_cast<HRESULT>(0x800706BFL)};
    for (HRESULT code : gone) {
        if (hr == code)
            return true;
    }
    return false;
}

bool BridgeSession::Reachable() const
{
    LONG value = 0;
    return m_bridge != nullptr && !IsBridgeGone(m_bridge->GetReservedValue(&value));
}

HRESULT BridgeSession::Open(const SourceSettings &settings)
{
    Close();
    HRESULT hr = m_apartment.Enter();
    if (FAILED(hr))
        return hr;
    hr = LogStep("activation",
                 CoCreateInstance(CLSID_StiScannerComBridge, nullptr, CLSCTX_LOCAL_SERVER,
                                  IID_IStiScannerComBridge, reinterpret_cast<void **>(&m_bridge)));
    if (SUCCEEDED(hr))
        hr = LogStep("CreateStillImage", m_bridge->CreateStillImage());
    if (SUCCEEDED(hr))
        hr = ChooseScanner(settings);
    if (SUCCEEDED(hr))
        hr = OpenAccount(settings);
    if (FAILED(hr))
        Close();
    return hr;
}

void BridgeSession::Close()
{
    Release();
    m_apartment.Leave();
}

void BridgeSession::Release()
{
    if (m_bridge != nullptr) {
        if (m_eventsRegistered)
            m_bridge->UnregisterEvents();
        m_bridge->CloseDevice();
        ReleaseAndClear(m_bridge);
    }
    m_eventsRegistered = false;
    m_deleteAfterScan = false;
}

HRESULT BridgeSession::ChooseScanner(const SourceSettings &settings)
{
    // Asking for one name chooses the launch device, else the first supported one.
    LONG count = settings.deviceName.empty() ? 1 : 0;
    UniqueBstr names;
    HRESULT hr = LogStep("EnumerateDevices", m_bridge->EnumerateDevices(&count, names.put()));
    if (FAILED(hr))
        return hr;
    if (count <= 0)
        return LogStep("no supported scanner", E_NO_SCANNER);
    if (count == 1)
        return S_OK;
    LONG family = -1;
    return LogStep("SelectDevice", m_bridge->SelectDevice(settings.deviceName.c_str(), &family));
}

HRESULT BridgeSession::OpenAccount(const SourceSettings &settings)
{
    HRESULT hr = LogStep("OpenAccount", m_bridge->OpenAccount(settings.settingsName.c_str(),
                                                              settings.settingsPrefix.c_str(),
                                                              settings.accountKey.c_str()));
    if (SUCCEEDED(hr))
        hr = LogStep("SendUserPin", m_bridge->SendUserPin());
    if (SUCCEEDED(hr))
        hr = LogStep("RegisterEvents", m_bridge->RegisterEvents());
    if (FAILED(hr))
        return hr;
    m_eventsRegistered = true;
    // Only a stored preference deletes anything: an unreadable one keeps the jobs.
    LONG deleteImage = 0;
    m_deleteAfterScan = m_bridge->GetDeleteImageOnScan(&deleteImage) == S_OK && deleteImage != 0;
    return S_OK;
}

HRESULT BridgeSession::DescribeJob(LONG index, StoredJob *job)
{
    // Ready and the user's own: anything else is never offered (S_FALSE). A server that went is
    // an error, not a job to step over.
    UniqueBstr display, thumbnail, title, name;
    HRESULT hr = m_bridge->GetItemFiles(index, display.put(), thumbnail.put());
    if (hr != S_OK)
        return IsBridgeGone(hr) ? hr : S_FALSE;
    LONG pixelType = 0, resolution = 0, pages = 0, size = 0;
    hr = m_bridge->GetItemDetails(index, title.put(), 0, &pixelType, &resolution, &pages, &size);
    if (hr != S_OK || pages <= 0)
        return IsBridgeGone(hr) ? hr : S_FALSE;
    m_bridge->GetItemTime(index, &job->time);
    // The item's name addresses its pages in transfer requests; the bridge hands it out for the
    // current item only.
    LONG page = 0;
    hr = m_bridge->SetSelection(&index, 1);
    if (SUCCEEDED(hr))
        hr = m_bridge->GetCurrentItem(name.put(), &page);
    if (FAILED(hr) || name.get() == nullptr)
        return IsBridgeGone(hr) ? hr : S_FALSE;
    job->index = index;
    job->name = name.get();
    job->title = title.get() != nullptr ? title.get() : L"";
    job->pages = pages;
    return S_OK;
}

HRESULT BridgeSession::ListReadyJobs(bool panelFirst, std::vector<StoredJob> *jobs)
{
    jobs->clear();
    if (m_bridge == nullptr)
        return E_UNEXPECTED;
    // A list still held goes back first: the driver must get every list back.
    m_bridge->FreeItemList();
    WCHAR selected[BRIDGE_NAME_CAPACITY] = {};
    const bool panelSelected = panelFirst && m_bridge->GetDriverSelectedItem(selected) == S_OK;
    m_bridge->FreeItemList();
    LONG count = 0;
    HRESULT hr = LogStep("GetItemCount", m_bridge->GetItemCount(&count));
    if (FAILED(hr))
        return hr;
    for (LONG i = 0; i < count; ++i) {
        StoredJob job;
        hr = DescribeJob(i, &job);
        if (FAILED(hr)) {
            jobs->clear();
            return hr;
        }
        if (hr == S_OK)
            jobs->push_back(job);
    }
    // The names above were read through selections of their own: none of them is the transfer's.
    m_bridge->SetPagesRemaining(0);
    if (panelSelected) {
        for (const StoredJob &job : *jobs) {
            if (job.name == selected) {
                const StoredJob chosen = job;
                jobs->assign(1, chosen);
                break;
            }
        }
    }
    return S_OK;
}
