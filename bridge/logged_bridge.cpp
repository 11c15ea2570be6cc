// The bridge as created while the diagnostics log is on: each method's arguments in short (a
// secret only as "set" or "empty"), its result, its duration and the step that failed. With the log
// off the plain bridge is created and nothing here runs.
#include "bridge.h"

#include "diagnostics.h"

#include <new>

namespace {

class CLoggedBridge final : public CStiScannerComBridge
{
public:
    using CStiScannerComBridge::CStiScannerComBridge;

    HRESULT STDMETHODCALLTYPE Reserved1() override
    {
        return Logged("Reserved1", "", [&] { return Base::Reserved1(); });
    }
    HRESULT STDMETHODCALLTYPE Reserved2() override
    {
        return Logged("Reserved2", "", [&] { return Base::Reserved2(); });
    }
    HRESULT STDMETHODCALLTYPE SetPagesRemaining(LONG pages) override
    {
        return Logged("SetPagesRemaining", LogFormat("pages=%ld", pages),
                      [&] { return Base::SetPagesRemaining(pages); });
    }
    HRESULT STDMETHODCALLTYPE CreateStillImage() override
    {
        return Logged("CreateStillImage", "", [&] { return Base::CreateStillImage(); });
    }
    HRESULT STDMETHODCALLTYPE OpenLaunchDevice() override
    {
        return Logged("OpenLaunchDevice", "", [&] { return Base::OpenLaunchDevice(); });
    }
    HRESULT STDMETHODCALLTYPE AdvancePage(LONG mode, LONG *pagesRemaining) override
    {
        return Logged("AdvancePage", LogFormat("mode=%ld", mode),
                      [&] { return Base::AdvancePage(mode, pagesRemaining); });
    }
    HRESULT STDMETHODCALLTYPE GetItemCount(LONG *count) override
    {
        return Logged("GetItemCount", "", [&] { return Base::GetItemCount(count); });
    }
    HRESULT STDMETHODCALLTYPE GetItemFiles(LONG index, BSTR *displayName,
                                           BSTR *thumbnailPath) override
    {
        return Logged("GetItemFiles", LogFormat("index=%ld", index),
                      [&] { return Base::GetItemFiles(index, displayName, thumbnailPath); });
    }
    HRESULT STDMETHODCALLTYPE DeleteItem(LONG index) override
    {
        return Logged("DeleteItem", LogFormat("index=%ld", index),
                      [&] { return Base::DeleteItem(index); });
    }
    HRESULT STDMETHODCALLTYPE EnumerateDevices(LONG *nameCount, BSTR *nameList) override
    {
        return Logged("EnumerateDevices", "",
                      [&] { return Base::EnumerateDevices(nameCount, nameList); });
    }
    HRESULT STDMETHODCALLTYPE SelectDevice(const WCHAR *localName, LONG *family) override
    {
        return Logged("SelectDevice", "device=" + Utf8(localName),
                      [&] { return Base::SelectDevice(localName, family); });
    }
    HRESULT STDMETHODCALLTYPE OpenAccount(const WCHAR *settingsName, const WCHAR *settingsPrefix,
                                          const WCHAR *accountKey) override
    {
        return Logged("OpenAccount",
                      LogFormat("settings=%s prefix=%s key=%s", Utf8(settingsName).c_str(),
                                Utf8(settingsPrefix).c_str(), SetOrEmpty(accountKey)),
                      [&] { return Base::OpenAccount(settingsName, settingsPrefix, accountKey); });
    }
    HRESULT STDMETHODCALLTYPE FreeItemList() override
    {
        return Logged("FreeItemList", "", [&] { return Base::FreeItemList(); });
    }
    HRESULT STDMETHODCALLTYPE GetImageInfo(ImageInfo *info, LONG queryPage) override
    {
        return Logged("GetImageInfo", LogFormat("page=%ld", queryPage),
                      [&] { return Base::GetImageInfo(info, queryPage); });
    }
    HRESULT STDMETHODCALLTYPE PrepareTransfer(LONG unused1, LONG unused2, LONG kind, LONG unused4,
                                              LONG unused5, LONG value, LONG formatCode,
                                              LONG unused8, LONG *code) override
    {
        return Logged("PrepareTransfer",
                      LogFormat("kind=%ld value=%ld format=%ld", kind, value, formatCode), [&] {
                          return Base::PrepareTransfer(unused1, unused2, kind, unused4, unused5,
                                                       value, formatCode, unused8, code);
                      });
    }
    HRESULT STDMETHODCALLTYPE RegisterEvents() override
    {
        return Logged("RegisterEvents", "", [&] { return Base::RegisterEvents(); });
    }
    HRESULT STDMETHODCALLTYPE UnregisterEvents() override
    {
        return Logged("UnregisterEvents", "", [&] { return Base::UnregisterEvents(); });
    }
    HRESULT STDMETHODCALLTYPE SetSelection(const LONG *indices, LONG count) override
    {
        return Logged("SetSelection", LogFormat("count=%ld", count),
                      [&] { return Base::SetSelection(indices, count); });
    }
    HRESULT STDMETHODCALLTYPE SelectItemByName(LONG depthTest, LONG *pages, const WCHAR *name,
                                               LONG depth) override
    {
        return Logged("SelectItemByName", "name=" + Utf8(name),
                      [&] { return Base::SelectItemByName(depthTest, pages, name, depth); });
    }
    HRESULT STDMETHODCALLTYPE GetDeleteImageOnScan(LONG *deleteImage) override
    {
        return Logged("GetDeleteImageOnScan", "",
                      [&] { return Base::GetDeleteImageOnScan(deleteImage); });
    }
    HRESULT STDMETHODCALLTYPE IsItemReady(LONG index, LONG *ready) override
    {
        return Logged("IsItemReady", LogFormat("index=%ld", index),
                      [&] { return Base::IsItemReady(index, ready); });
    }
    HRESULT STDMETHODCALLTYPE ApplyScanSettings() override
    {
        return Logged("ApplyScanSettings", "", [&] { return Base::ApplyScanSettings(); });
    }
    HRESULT STDMETHODCALLTYPE GetScanSettings(USHORT *pixelType, USHORT *paperSize,
                                              USHORT *resolution, USHORT *formatCode,
                                              USHORT *settingFlag) override
    {
        return Logged("GetScanSettings", "", [&] {
            return Base::GetScanSettings(pixelType, paperSize, resolution, formatCode, settingFlag);
        });
    }
    HRESULT STDMETHODCALLTYPE SetScanSettings(const WCHAR *nameText, USHORT pixelType,
                                              USHORT paperSize, USHORT resolution,
                                              USHORT formatCode, USHORT sizeVariant,
                                              USHORT settingFlag) override
    {
        return Logged("SetScanSettings",
                      LogFormat("name=%s pixel=%u paper=%u resolution=%u format=%u",
                                Utf8(nameText).c_str(), pixelType, paperSize, resolution,
                                formatCode),
                      [&] {
                          return Base::SetScanSettings(nameText, pixelType, paperSize, resolution,
                                                       formatCode, sizeVariant, settingFlag);
                      });
    }
    HRESULT STDMETHODCALLTYPE BeginSettings() override
    {
        return Logged("BeginSettings", "", [&] { return Base::BeginSettings(); });
    }
    HRESULT STDMETHODCALLTYPE EndSettings() override
    {
        return Logged("EndSettings", "", [&] { return Base::EndSettings(); });
    }
    HRESULT STDMETHODCALLTYPE GetCurrentItemFormat(USHORT *format) override
    {
        return Logged("GetCurrentItemFormat", "",
                      [&] { return Base::GetCurrentItemFormat(format); });
    }
    HRESULT STDMETHODCALLTYPE GetItemDetails(LONG index, BSTR *title, LONG unused, LONG *pixelType,
                                             LONG *resolutionCode, LONG *pageCount,
                                             LONG *itemSize) override
    {
        return Logged("GetItemDetails", LogFormat("index=%ld", index), [&] {
            return Base::GetItemDetails(index, title, unused, pixelType, resolutionCode, pageCount,
                                        itemSize);
        });
    }
    HRESULT STDMETHODCALLTYPE GetItemTime(LONG index, SYSTEMTIME *time) override
    {
        return Logged("GetItemTime", LogFormat("index=%ld", index),
                      [&] { return Base::GetItemTime(index, time); });
    }
    HRESULT STDMETHODCALLTYPE GetImageSize(LONG *size) override
    {
        return Logged("GetImageSize", "", [&] { return Base::GetImageSize(size); });
    }
    HRESULT STDMETHODCALLTYPE GetExtendedCapability(LONG *flag) override
    {
        return Logged("GetExtendedCapability", "",
                      [&] { return Base::GetExtendedCapability(flag); });
    }
    HRESULT STDMETHODCALLTYPE GetReservedValue(LONG *value) override
    {
        return Logged("GetReservedValue", "", [&] { return Base::GetReservedValue(value); });
    }
    HRESULT STDMETHODCALLTYPE CloseDevice() override
    {
        return Logged("CloseDevice", "", [&] { return Base::CloseDevice(); });
    }
    HRESULT STDMETHODCALLTYPE SendUserPin() override
    {
        return Logged("SendUserPin", "", [&] { return Base::SendUserPin(); });
    }
    HRESULT STDMETHODCALLTYPE GetDriverSelectedItem(WCHAR name[260]) override
    {
        return Logged("GetDriverSelectedItem", "",
                      [&] { return Base::GetDriverSelectedItem(name); });
    }
    HRESULT STDMETHODCALLTYPE GetModelFamily(LONG *family) override
    {
        return Logged("GetModelFamily", "", [&] { return Base::GetModelFamily(family); });
    }
    HRESULT STDMETHODCALLTYPE FreeScanSettings() override
    {
        return Logged("FreeScanSettings", "", [&] { return Base::FreeScanSettings(); });
    }
    HRESULT STDMETHODCALLTYPE FreeCapabilities() override
    {
        return Logged("FreeCapabilities", "", [&] { return Base::FreeCapabilities(); });
    }
    HRESULT STDMETHODCALLTYPE GetCurrentItem(BSTR *name, LONG *page) override
    {
        return Logged("GetCurrentItem", "", [&] { return Base::GetCurrentItem(name, page); });
    }
    HRESULT STDMETHODCALLTYPE TransferData(const TransferRequestView *request, BYTE *buffer,
                                           ULONG size, LONG *status) override
    {
        return Logged("TransferData", Request(request, size),
                      [&] { return Base::TransferData(request, buffer, size, status); });
    }
    HRESULT STDMETHODCALLTYPE TransferString(const TransferRequestView *request, WCHAR **text,
                                             LONG *length, LONG *status) override
    {
        return Logged("TransferString", Request(request, 0),
                      [&] { return Base::TransferString(request, text, length, status); });
    }
    HRESULT STDMETHODCALLTYPE GetPagePosition(LONG *page, LONG *pageCount) override
    {
        return Logged("GetPagePosition", "",
                      [&] { return Base::GetPagePosition(page, pageCount); });
    }
    HRESULT STDMETHODCALLTYPE TransferQuery(const TransferRequestView *request, LONG *value,
                                            LONG *status) override
    {
        return Logged("TransferQuery", Request(request, 0),
                      [&] { return Base::TransferQuery(request, value, status); });
    }
    HRESULT STDMETHODCALLTYPE TransferImage(const TransferRequestView *request, BYTE *buffer,
                                            ULONG size, LONG *status) override
    {
        return Logged("TransferImage", Request(request, size),
                      [&] { return Base::TransferImage(request, buffer, size, status); });
    }
    HRESULT STDMETHODCALLTYPE GetServerFileName(BSTR *name) override
    {
        return Logged("GetServerFileName", "", [&] { return Base::GetServerFileName(name); });
    }

private:
    using Base = CStiScannerComBridge;

    // A transfer request in short; the bytes of a transfer only at the traffic level.
    static std::string Request(const TransferRequestView *request, ULONG size)
    {
        if (request == nullptr)
            return "request=(null)";
        std::string text = LogFormat("kind=%ld page=%ld option=%ld value=%ld", request->kind,
                                     request->page, request->option, request->value);
        if (size != 0 && LogEnabled(LogLevel::Traffic))
            text += LogFormat(" size=%lu", size);
        return text;
    }

    template <typename Call>
    HRESULT Logged(const char *method, const std::string &arguments, Call call)
    {
        // A method that another one calls (CloseDevice hands the blocks back) is part of it.
        if (m_depth > 0)
            return call();
        ++m_depth;
        const LogTimer timer;
        // A step left by an earlier call is not this call's.
        TakeFailedStep();
        const HRESULT hr = call();
        --m_depth;
        // A method may report a failed step in its outputs (a transfer's status) and succeed.
        const std::string step = TakeFailedStep();
        const bool failed = FAILED(hr) || !step.empty();
        if (LogEnabled(failed ? LogLevel::Errors : LogLevel::Calls))
            LogLine("%s(%s) -> %s (%.2f ms)%s", method, arguments.c_str(),
                    DescribeHresult(hr).c_str(), timer.Milliseconds(), step.c_str());
        return hr;
    }

    int m_depth = 0; // calls of the client under way (one: COM calls in from one apartment)
};

} // namespace

CStiScannerComBridge *NewLoggedBridge(StiFactory stiFactory)
{
    return new (std::nothrow) CLoggedBridge(stiFactory);
}
