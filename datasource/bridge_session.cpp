#include "bridge_session.h"

#include "class_ids.h"
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

HRESULT BridgeSession::Open(const SourceSettings &settings)
{
    Close();
    HRESULT hr = m_apartment.Enter();
    if (FAILED(hr))
        return hr;
    hr = CoCreateInstance(CLSID_StiScannerComBridge, nullptr, CLSCTX_LOCAL_SERVER,
                          IID_IStiScannerComBridge, reinterpret_cast<void **>(&m_bridge));
    if (SUCCEEDED(hr))
        hr = m_bridge->CreateStillImage();
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
    if (m_bridge != nullptr) {
        if (m_eventsRegistered)
            m_bridge->UnregisterEvents();
        m_bridge->CloseDevice();
        ReleaseAndClear(m_bridge);
    }
    m_eventsRegistered = false;
    m_deleteAfterScan = false;
    m_apartment.Leave();
}

HRESULT BridgeSession::ChooseScanner(const SourceSettings &settings)
{
    // Asking for one name chooses the launch device, else the first supported one.
    LONG count = settings.deviceName.empty() ? 1 : 0;
    UniqueBstr names;
    HRESULT hr = m_bridge->EnumerateDevices(&count, names.put());
    if (FAILED(hr))
        return hr;
    if (count <= 0)
        return E_NO_SCANNER;
    if (count == 1)
        return S_OK;
    LONG family = -1;
    return m_bridge->SelectDevice(settings.deviceName.c_str(), &family);
}

HRESULT BridgeSession::OpenAccount(const SourceSettings &settings)
{
    HRESULT hr =
        m_bridge->OpenAccount(settings.settingsName.c_str(), settings.settingsPrefix.c_str(),
                              settings.accountKey.c_str());
    if (SUCCEEDED(hr))
        hr = m_bridge->SendUserPin();
    if (SUCCEEDED(hr))
        hr = m_bridge->RegisterEvents();
    if (FAILED(hr))
        return hr;
    m_eventsRegistered = true;
    // Only a stored preference deletes anything: an unreadable one keeps the jobs.
    LONG deleteImage = 0;
    m_deleteAfterScan = m_bridge->GetDeleteImageOnScan(&deleteImage) == S_OK && deleteImage != 0;
    return S_OK;
}

bool BridgeSession::DescribeJob(LONG index, StoredJob *job)
{
    // Ready and the user's own: anything else is never offered.
    UniqueBstr display, thumbnail, title, name;
    if (m_bridge->GetItemFiles(index, display.put(), thumbnail.put()) != S_OK)
        return false;
    LONG pixelType = 0, resolution = 0, pages = 0, size = 0;
    if (m_bridge->GetItemDetails(index, title.put(), 0, &pixelType, &resolution, &pages, &size) !=
            S_OK ||
        pages <= 0)
        return false;
    m_bridge->GetItemTime(index, &job->time);
    // The item's name addresses its pages in transfer requests; the bridge hands it out for the
    // current item only.
    LONG page = 0;
    if (FAILED(m_bridge->SetSelection(&index, 1)) ||
        FAILED(m_bridge->GetCurrentItem(name.put(), &page)) || name.get() == nullptr)
        return false;
    job->index = index;
    job->name = name.get();
    job->title = title.get() != nullptr ? title.get() : L"";
    job->pages = pages;
    return true;
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
    const HRESULT hr = m_bridge->GetItemCount(&count);
    if (FAILED(hr))
        return hr;
    for (LONG i = 0; i < count; ++i) {
        StoredJob job;
        if (DescribeJob(i, &job))
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
