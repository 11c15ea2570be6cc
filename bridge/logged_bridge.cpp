// The bridge as created while the diagnostics log is on: each method's arguments in short (a
// secret only as "set" or "empty"), its result, its duration and the step that failed. With the log
// off the plain bridge is created and nothing here runs.
#include "bridge.h"

#include "diagnostics.h"
#include "hresult_values.h"

#include <new>

namespace {

class CLoggedBridge final : public CStiScannerComBridge
{
public:
    using CStiScannerComBridge::CStiScannerComBridge;

    HRESULT STDMETHODCALLTYPE Reserved1() override
    {
        return Logged("Reserved1", NoArguments, [&] { return Base::Reserved1(); });
    }
    HRESULT STDMETHODCALLTYPE Reserved2() override
    {
        return Logged("Reserved2", NoArguments, [&] { return Base::Reserved2(); });
    }
    HRESULT STDMETHODCALLTYPE SetPagesRemaining(LONG pages) override
    {
        return Logged(
            "SetPagesRemaining", [&] { return LogFormat("pages=%ld", pages); },
            [&] { return Base::SetPagesRemaining(pages); });
    }
    HRESULT STDMETHODCALLTYPE CreateStillImage() override
    {
        return Logged("CreateStillImage", NoArguments, [&] { return Base::CreateStillImage(); });
    }
    HRESULT STDMETHODCALLTYPE OpenLaunchDevice() override
    {
        return Logged("OpenLaunchDevice", NoArguments, [&] { return Base::OpenLaunchDevice(); });
    }
    HRESULT STDMETHODCALLTYPE AdvancePage(LONG mode, LONG *pagesRemaining) override
    {
        return Logged(
            "AdvancePage", [&] { return LogFormat("mode=%ld", mode); },
            [&] { return Base::AdvancePage(mode, pagesRemaining); });
    }
    HRESULT STDMETHODCALLTYPE GetItemCount(LONG *count) override
    {
        return Logged("GetItemCount", NoArguments, [&] { return Base::GetItemCount(count); });
    }
    HRESULT STDMETHODCALLTYPE GetItemFiles(LONG index, BSTR *displayName,
                                           BSTR *thumbnailPath) override
    {
        return Logged(
            "GetItemFiles", [&] { return LogFormat("index=%ld", index); },
            [&] { return Base::GetItemFiles(index, displayName, thumbnailPath); });
    }
    HRESULT STDMETHODCALLTYPE DeleteItem(LONG index) override
    {
        return Logged(
            "DeleteItem", [&] { return LogFormat("index=%ld", index); },
            [&] { return Base::DeleteItem(index); });
    }
    HRESULT STDMETHODCALLTYPE EnumerateDevices(LONG *nameCount, BSTR *nameList) override
    {
        return Logged("EnumerateDevices", NoArguments,
                      [&] { return Base::EnumerateDevices(nameCount, nameList); });
    }
    HRESULT STDMETHODCALLTYPE SelectDevice(const WCHAR *localName, LONG *family) override
    {
        return Logged(
            "SelectDevice", [&] { return "device=" + Utf8(localName); },
            [&] { return Base::SelectDevice(localName, family); });
    }
    HRESULT STDMETHODCALLTYPE OpenAccount(const WCHAR *settingsName, const WCHAR *settingsPrefix,
                                          const WCHAR *accountKey) override
    {
        return Logged(
            "OpenAccount",
            [&] {
                return LogFormat("settings=%s prefix=%s key=%s", Utf8(settingsName).c_str(),
                                 Utf8(settingsPrefix).c_str(), SetOrEmpty(accountKey));
            },
            [&] { return Base::OpenAccount(settingsName, settingsPrefix, accountKey); });
    }
    HRESULT STDMETHODCALLTYPE FreeItemList() override
    {
        return Logged("FreeItemList", NoArguments, [&] { return Base::FreeItemList(); });
    }
    HRESULT STDMETHODCALLTYPE GetImageInfo(ImageInfo *info, LONG queryPage) override
    {
        return Logged(
            "GetImageInfo", [&] { return LogFormat("page=%ld", queryPage); },
            [&] { return Base::GetImageInfo(info, queryPage); });
    }
    HRESULT STDMETHODCALLTYPE PrepareTransfer(LONG unused1, LONG unused2, LONG kind, LONG unused4,
                                              LONG unused5, LONG value, LONG formatCode,
                                              LONG unused8, LONG *code) override
    {
        return Logged(
            "PrepareTransfer",
            [&] { return LogFormat("kind=%ld value=%ld format=%ld", kind, value, formatCode); },
            [&] {
                return Base::PrepareTransfer(unused1, unused2, kind, unused4, unused5, value,
                                             formatCode, unused8, code);
            });
    }
    HRESULT STDMETHODCALLTYPE RegisterEvents() override
    {
        return Logged("RegisterEvents", NoArguments, [&] { return Base::RegisterEvents(); });
    }
    HRESULT STDMETHODCALLTYPE UnregisterEvents() override
    {
        return Logged("UnregisterEvents", NoArguments, [&] { return Base::UnregisterEvents(); });
    }
    HRESULT STDMETHODCALLTYPE SetSelection(const LONG *indices, LONG count) override
    {
        return Logged(
            "SetSelection", [&] { return LogFormat("count=%ld", count); },
            [&] { return Base::SetSelection(indices, count); });
    }
    HRESULT STDMETHODCALLTYPE SelectItemByName(LONG depthTest, LONG *pages, const WCHAR *name,
                                               LONG depth) override
    {
        return Logged(
            "SelectItemByName", [&] { return "name=" + Utf8(name); },
            [&] { return Base::SelectItemByName(depthTest, pages, name, depth); });
    }
    HRESULT STDMETHODCALLTYPE GetDeleteImageOnScan(LONG *deleteImage) override
    {
        return Logged("GetDeleteImageOnScan", NoArguments,
                      [&] { return Base::GetDeleteImageOnScan(deleteImage); });
    }
    HRESULT STDMETHODCALLTYPE IsItemReady(LONG index, LONG *ready) override
    {
        return Logged(
            "IsItemReady", [&] { return LogFormat("index=%ld", index); },
            [&] { return Base::IsItemReady(index, ready); });
    }
    HRESULT STDMETHODCALLTYPE ApplyScanSettings() override
    {
        return Logged("ApplyScanSettings", NoArguments, [&] { return Base::ApplyScanSettings(); });
    }
    HRESULT STDMETHODCALLTYPE GetScanSettings(USHORT *pixelType, USHORT *paperSize,
                                              USHORT *resolution, USHORT *formatCode,
                                              USHORT *settingFlag) override
    {
        return Logged("GetScanSettings", NoArguments, [&] {
            return Base::GetScanSettings(pixelType, paperSize, resolution, formatCode, settingFlag);
        });
    }
    HRESULT STDMETHODCALLTYPE SetScanSettings(const WCHAR *nameText, USHORT pixelType,
                                              USHORT paperSize, USHORT resolution,
                                              USHORT formatCode, USHORT sizeVariant,
                                              USHORT settingFlag) override
    {
        return Logged(
            "SetScanSettings",
            [&] {
                return LogFormat("name=%s pixel=%u paper=%u resolution=%u format=%u",
                                 Utf8(nameText).c_str(), pixelType, paperSize, resolution,
                                 formatCode);
            },
            [&] {
                return Base::SetScanSettings(nameText, pixelType, paperSize, resolution, formatCode,
                                             sizeVariant, settingFlag);
            });
    }
    HRESULT STDMETHODCALLTYPE BeginSettings() override
    {
        return Logged("BeginSettings", NoArguments, [&] { return Base::BeginSettings(); });
    }
    HRESULT STDMETHODCALLTYPE EndSettings() override
    {
        return Logged("EndSettings", NoArguments, [&] { return Base::EndSettings(); });
    }
    HRESULT STDMETHODCALLTYPE GetCurrentItemFormat(USHORT *format) override
    {
        return Logged("GetCurrentItemFormat", NoArguments,
                      [&] { return Base::GetCurrentItemFormat(format); });
    }
    HRESULT STDMETHODCALLTYPE GetItemDetails(LONG index, BSTR *title, LONG unused, LONG *pixelType,
                                             LONG *resolutionCode, LONG *pageCount,
                                             LONG *itemSize) override
    {
        return Logged(
            "GetItemDetails", [&] { return LogFormat("index=%ld", index); },
            [&] {
                return Base::GetItemDetails(index, title, unused, pixelType, resolutionCode,
                                            pageCount, itemSize);
            });
    }
    HRESULT STDMETHODCALLTYPE GetItemTime(LONG index, SYSTEMTIME *time) override
    {
        return Logged(
            "GetItemTime", [&] { return LogFormat("index=%ld", index); },
            [&] { return Base::GetItemTime(index, time); });
    }
    HRESULT STDMETHODCALLTYPE GetImageSize(LONG *size) override
    {
        return Logged("GetImageSize", NoArguments, [&] { return Base::GetImageSize(size); });
    }
    HRESULT STDMETHODCALLTYPE GetExtendedCapability(LONG *flag) override
    {
        return Logged("GetExtendedCapability", NoArguments,
                      [&] { return Base::GetExtendedCapability(flag); });
    }
    HRESULT STDMETHODCALLTYPE GetReservedValue(LONG *value) override
    {
        return Logged("GetReservedValue", NoArguments,
                      [&] { return Base::GetReservedValue(value); });
    }
    HRESULT STDMETHODCALLTYPE CloseDevice() override
    {
        return Logged("CloseDevice", NoArguments, [&] { return Base::CloseDevice(); });
    }
    HRESULT STDMETHODCALLTYPE SendUserPin() override
    {
        return Logged("SendUserPin", NoArguments, [&] { return Base::SendUserPin(); });
    }
    HRESULT STDMETHODCALLTYPE GetDriverSelectedItem(WCHAR name[260]) override
    {
        return Logged("GetDriverSelectedItem", NoArguments,
                      [&] { return Base::GetDriverSelectedItem(name); });
    }
    HRESULT STDMETHODCALLTYPE GetModelFamily(LONG *family) override
    {
        return Logged("GetModelFamily", NoArguments, [&] { return Base::GetModelFamily(family); });
    }
    HRESULT STDMETHODCALLTYPE FreeScanSettings() override
    {
        return Logged("FreeScanSettings", NoArguments, [&] { return Base::FreeScanSettings(); });
    }
    HRESULT STDMETHODCALLTYPE FreeCapabilities() override
    {
        return Logged("FreeCapabilities", NoArguments, [&] { return Base::FreeCapabilities(); });
    }
    HRESULT STDMETHODCALLTYPE GetCurrentItem(BSTR *name, LONG *page) override
    {
        return Logged("GetCurrentItem", NoArguments,
                      [&] { return Base::GetCurrentItem(name, page); });
    }
    HRESULT STDMETHODCALLTYPE TransferData(const TransferRequestView *request, BYTE *buffer,
                                           ULONG size, LONG *status) override
    {
        return Logged(
            "TransferData", [&] { return Request(request, size); },
            [&] { return Base::TransferData(request, buffer, size, status); }, status);
    }
    HRESULT STDMETHODCALLTYPE TransferString(const TransferRequestView *request, WCHAR **text,
                                             LONG *length, LONG *status) override
    {
        return Logged(
            "TransferString", [&] { return Request(request, 0); },
            [&] { return Base::TransferString(request, text, length, status); }, status);
    }
    HRESULT STDMETHODCALLTYPE GetPagePosition(LONG *page, LONG *pageCount) override
    {
        return Logged("GetPagePosition", NoArguments,
                      [&] { return Base::GetPagePosition(page, pageCount); });
    }
    HRESULT STDMETHODCALLTYPE TransferQuery(const TransferRequestView *request, LONG *value,
                                            LONG *status) override
    {
        return Logged(
            "TransferQuery", [&] { return Request(request, 0); },
            [&] { return Base::TransferQuery(request, value, status); }, status);
    }
    HRESULT STDMETHODCALLTYPE TransferImage(const TransferRequestView *request, BYTE *buffer,
                                            ULONG size, LONG *status) override
    {
        return Logged(
            "TransferImage", [&] { return Request(request, size); },
            [&] { return Base::TransferImage(request, buffer, size, status); }, status);
    }
    HRESULT STDMETHODCALLTYPE GetServerFileName(BSTR *name) override
    {
        return Logged("GetServerFileName", NoArguments,
                      [&] { return Base::GetServerFileName(name); });
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

    static std::string NoArguments() { return std::string(); }

    // The arguments are put in words only for a line that is written; logging never lets an
    // exception out of a COM method. status: a transfer's status output, whose failure the method
    // reports with S_OK.
    template <typename Arguments, typename Call>
    HRESULT Logged(const char *method, Arguments arguments, Call call, const LONG *status = nullptr)
    {
        // A method that another one calls (CloseDevice hands the blocks back) is part of it.
        if (m_depth > 0)
            return call();
        ++m_depth;
        const LogTimer timer;
        // A step left by an earlier call is not this call's.
        DropFailedStep();
        const HRESULT hr = call();
        --m_depth;
        const bool failed = FAILED(hr) || (status != nullptr && *status == TWRC_FAILURE_CODE);
        try {
            const std::string step = TakeFailedStep();
            if (LogEnabled(failed ? LogLevel::Errors : LogLevel::Calls))
                LogLine("%s(%s) -> %s (%.2f ms)%s", method, arguments().c_str(),
                        DescribeHresult(hr).c_str(), timer.Milliseconds(),
                        failed ? step.c_str() : "");
        } catch (...) {
        }
        return hr;
    }

    int m_depth = 0; // calls of the client under way (one: COM calls in from one apartment)
};

} // namespace

CStiScannerComBridge *NewLoggedBridge(StiFactory stiFactory)
{
    return new (std::nothrow) CLoggedBridge(stiFactory);
}
