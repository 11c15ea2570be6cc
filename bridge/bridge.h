// CStiScannerComBridge: the one COM class of the server. One object per client holds the STI
// objects, the account, the item list, the selection and paging position, the blocks the driver
// hands out and the event handles, and exposes them through IStiScannerComBridge.
#pragma once

#include "driver_records.h"
#include "sti_scanner_com_bridge.h"
#include "unknown.h"

#include <windows.h>
#include <sti.h>

// The shape of StiCreateInstanceW: the bridge reaches the STI service only through it.
using StiFactory = HRESULT(WINAPI *)(HINSTANCE instance, DWORD version, IStillImageW **stillImage,
                                     IUnknown *outer);

class CStiScannerComBridge : public CUnknown, public IStiScannerComBridge
{
public:
    // The class factory's create function: binds the platform's StiCreateInstanceW.
    static HRESULT Create(IUnknown *outer, CUnknown **object);

    explicit CStiScannerComBridge(StiFactory stiFactory);
    ~CStiScannerComBridge() override;

    // Primary table.
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void **object) override;
    void FinalRelease() override;
    virtual HRESULT QueryDriverValue(LONG selector, void **value);

    // IUnknown of the interface, forwarded to the controlling IUnknown.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IStiScannerComBridge, in slot order.
    HRESULT STDMETHODCALLTYPE Reserved1() override;
    HRESULT STDMETHODCALLTYPE Reserved2() override;
    HRESULT STDMETHODCALLTYPE SetPagesRemaining(LONG pages) override;
    HRESULT STDMETHODCALLTYPE CreateStillImage() override;
    HRESULT STDMETHODCALLTYPE OpenLaunchDevice() override;
    HRESULT STDMETHODCALLTYPE AdvancePage(LONG mode, LONG *pagesRemaining) override;
    HRESULT STDMETHODCALLTYPE GetItemCount(LONG *count) override;
    HRESULT STDMETHODCALLTYPE GetItemFiles(LONG index, BSTR *displayName,
                                           BSTR *thumbnailPath) override;
    HRESULT STDMETHODCALLTYPE DeleteItem(LONG index) override;
    HRESULT STDMETHODCALLTYPE EnumerateDevices(LONG *nameCount, BSTR *nameList) override;
    HRESULT STDMETHODCALLTYPE SelectDevice(const WCHAR *localName, LONG *family) override;
    HRESULT STDMETHODCALLTYPE OpenAccount(const WCHAR *settingsName, const WCHAR *settingsPrefix,
                                          const WCHAR *accountKey) override;
    HRESULT STDMETHODCALLTYPE FreeItemList() override;
    HRESULT STDMETHODCALLTYPE GetImageInfo(ImageInfo *info, LONG queryPage) override;
    HRESULT STDMETHODCALLTYPE PrepareTransfer(LONG unused1, LONG unused2, LONG kind, LONG unused4,
                                              LONG unused5, LONG value, LONG formatCode,
                                              LONG unused8, LONG *code) override;
    HRESULT STDMETHODCALLTYPE RegisterEvents() override;
    HRESULT STDMETHODCALLTYPE UnregisterEvents() override;
    HRESULT STDMETHODCALLTYPE SetSelection(const LONG *indices, LONG count) override;
    HRESULT STDMETHODCALLTYPE SelectItemByName(LONG depthTest, LONG *pages, const WCHAR *name,
                                               LONG depth) override;
    HRESULT STDMETHODCALLTYPE GetDeleteImageOnScan(LONG *deleteImage) override;
    HRESULT STDMETHODCALLTYPE IsItemReady(LONG index, LONG *ready) override;
    HRESULT STDMETHODCALLTYPE ApplyScanSettings() override;
    HRESULT STDMETHODCALLTYPE GetScanSettings(USHORT *pixelType, USHORT *paperSize,
                                              USHORT *resolution, USHORT *formatCode,
                                              USHORT *settingFlag) override;
    HRESULT STDMETHODCALLTYPE SetScanSettings(const WCHAR *nameText, USHORT pixelType,
                                              USHORT paperSize, USHORT resolution,
                                              USHORT formatCode, USHORT sizeVariant,
                                              USHORT settingFlag) override;
    HRESULT STDMETHODCALLTYPE BeginSettings() override;
    HRESULT STDMETHODCALLTYPE EndSettings() override;
    HRESULT STDMETHODCALLTYPE GetCurrentItemFormat(USHORT *format) override;
    HRESULT STDMETHODCALLTYPE GetItemDetails(LONG index, BSTR *title, LONG unused,
                                             LONG *pixelType, LONG *resolutionCode,
                                             LONG *pageCount, LONG *itemSize) override;
    HRESULT STDMETHODCALLTYPE GetItemTime(LONG index, SYSTEMTIME *time) override;
    HRESULT STDMETHODCALLTYPE GetImageSize(LONG *size) override;
    HRESULT STDMETHODCALLTYPE GetExtendedCapability(LONG *flag) override;
    HRESULT STDMETHODCALLTYPE GetReservedValue(LONG *value) override;
    HRESULT STDMETHODCALLTYPE CloseDevice() override;
    HRESULT STDMETHODCALLTYPE SendUserPin() override;
    HRESULT STDMETHODCALLTYPE GetDriverSelectedItem(WCHAR name[260]) override;
    HRESULT STDMETHODCALLTYPE GetModelFamily(LONG *family) override;
    HRESULT STDMETHODCALLTYPE FreeScanSettings() override;
    HRESULT STDMETHODCALLTYPE FreeCapabilities() override;
    HRESULT STDMETHODCALLTYPE GetCurrentItem(BSTR *name, LONG *page) override;
    HRESULT STDMETHODCALLTYPE TransferData(const TransferRequestView *request, BYTE *buffer,
                                           ULONG size, LONG *status) override;
    HRESULT STDMETHODCALLTYPE TransferString(const TransferRequestView *request, WCHAR **text,
                                             LONG *length, LONG *status) override;
    HRESULT STDMETHODCALLTYPE GetPagePosition(LONG *page, LONG *pageCount) override;
    HRESULT STDMETHODCALLTYPE TransferQuery(const TransferRequestView *request, LONG *value,
                                            LONG *status) override;
    HRESULT STDMETHODCALLTYPE TransferImage(const TransferRequestView *request, BYTE *buffer,
                                            ULONG size, LONG *status) override;
    HRESULT STDMETHODCALLTYPE GetServerFileName(BSTR *name) override;

    // Internal operations, public so that the unit tests can drive them directly.
    HRESULT FetchCapabilities();
    bool OpenUserKey();
    HRESULT ResolveSettingsName(wchar_t *resolved);
    HRESULT WriteSettingsValues(HKEY key, const wchar_t *valueName);
    HRESULT SetAccountPin(const wchar_t *pin);
    HRESULT MapScanSettings(USHORT *pixelType, USHORT *paperSize, USHORT *resolution,
                            USHORT *formatCode, USHORT *settingFlag);
    HRESULT SetPropertyValue(PropertyBlock *block, DWORD id, LONG value);

private:
    // Devices.
    HRESULT EnsureEventNameBlock();
    HRESULT ReadLaunchDevice(wchar_t (&deviceName)[STI_MAX_INTERNAL_NAME_LENGTH]);
    HRESULT ChooseDevice(const wchar_t *internalName);
    // Creates the device object for the chosen device; false when none came back.
    bool CreateDeviceObject(HRESULT *result);
    // Hands the driver's blocks back through the device object, then releases it. Closing sends
    // CloseDevice's own requests; a replaced object is sent only what undoes something it holds.
    ULONG ReleaseDeviceObject(bool closing);
    // Releases everything the object holds; serves CloseDevice and the destructor.
    HRESULT ReleaseAll();

    // Items.
    // The item that the selection names at the current position, or null.
    ItemRecord *CurrentItem() const;
    // The item at index of the current list, or null when there is no list or no such entry.
    ItemRecord *ItemAt(LONG index) const;
    // Page count of an item: its first property 3096, or 0.
    LONG PageCountOf(LONG index) const;
    HRESULT ThumbnailPath(const ItemRecord &item, wchar_t *path);
    void ReleaseItemListHeader();
    void ReleaseSelection();
    // Whether the driver may still signal our event handles.
    bool DriverHoldsEvents() const { return m_jobEndedRegistered || m_itemDeletedRegistered; }
    // Closes the event handles unless the driver may still signal them.
    void CloseEventHandles();
    // Registrations that went with their device object unwithdrawn: their handles stay open for
    // good, so that no later handle takes their values.
    void AbandonEventHandles();

    // Scan settings.
    HRESULT SendSettingsPhase(STI_RAW_CONTROL_CODE code);
    // Hands a property block back; the driver tells the block by `which`.
    HRESULT FreeBlock(PropertyBlock *&block, DWORD which);

    // Transfer.
    // Fills the image description from a property set, the last record of an id winning.
    void ScanImageProperties(const ItemRecord &item, const PropertyRecord *records, DWORD count);

    StiFactory m_stiFactory;

    IUnknown *m_innerUnknown = nullptr;
    IStillImageW *m_stillImage = nullptr;
    IStiDevice *m_stiDevice = nullptr;
    STI_DEVICE_INFORMATIONW *m_deviceInfo = nullptr;
    LONG m_deviceOpen = 0;
    HGLOBAL m_eventNameMem = nullptr;
    wchar_t *m_eventName = nullptr;
    ItemListHeader *m_itemList = nullptr;
    HGLOBAL m_itemListMem = nullptr;
    wchar_t *m_settingsPrefix = nullptr;
    wchar_t *m_settingsName = nullptr;
    wchar_t *m_accountKey = nullptr;
    PropertyBlock *m_scanSettings = nullptr;
    PropertyBlock *m_capabilities = nullptr;
    STI_DEVICE_INFORMATIONW *m_deviceList = nullptr;
    DWORD m_deviceCount = 0;
    HANDLE m_itemDeletedEvent = nullptr;
    HANDLE m_jobEndedEvent = nullptr;
    HANDLE m_itemAddedEvent = nullptr;
    LONG m_jobEndedCookie = -1;
    LONG m_itemDeletedCookie = -1;
    void *m_driverValue = nullptr;
    LONG m_pagesRemaining = 0;
    LONG *m_selection = nullptr;
    LONG m_selectionIndex = 0;
    ImageInfo *m_imageInfo = nullptr;
    LONG m_currentPage = 1;
    LONG m_pageCount = 0;
    LONG m_extendedCapability = 0;
    LONG m_reservedValue = -1;
    AccountBlock *m_account = nullptr;
    HKEY m_userKey = nullptr;
    LONG m_modelFamily = -1;

    // The selection keeps how many indices its array holds and how many it stores, so readers
    // of the current item never step past what was stored.
    LONG m_selectionCapacity = 0;
    LONG m_selectionLength = 0;
    // Registrations the driver accepted and has not yet withdrawn.
    bool m_jobEndedRegistered = false;
    bool m_itemDeletedRegistered = false;
    // A settings phase was begun on the device object and not yet ended.
    bool m_settingsPhaseOpen = false;
};

// The bridge that writes each method to the diagnostics log; null when memory is short.
CStiScannerComBridge *NewLoggedBridge(StiFactory stiFactory);
