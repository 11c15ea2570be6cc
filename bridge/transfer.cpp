// Image descriptions and data transfer: the TWAIN image description of each page, the image
// size, and the client's transfer requests carried to the driver with TWAIN return codes.
#include "bridge.h"

#include "bounded_string.h"
#include "escape.h"
#include "hresult_values.h"
#include "owners.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

// A TWAIN item name crosses to the driver as ANSI text of at most this many bytes.
constexpr int MAX_ANSI_NAME_BYTES = NAME_CHARS;

// The result of GetImageSize when the image's byte count does not fit 32 bits.
const HRESULT E_SIZE_OVERFLOW = HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW);

SHORT DotsPerInch(LONG code)
{
    switch (code) {
    case 1: return 200;
    case 2: return 300;
    case 3: return 400;
    case 4: return 600;
    case 5: return 150;
    case 6: return 72;
    default: return 100;
    }
}

// Whether the name, cut to 259 characters, fits the driver's ANSI name buffer.
bool NameFitsAnsi(const wchar_t *name)
{
    wchar_t cut[NAME_CHARS];
    BoundedCopy(cut, NAME_CHARS, name);
    const int bytes = WideCharToMultiByte(CP_ACP, 0, cut, -1, nullptr, 0, nullptr, nullptr);
    return bytes > 0 && bytes <= MAX_ANSI_NAME_BYTES;
}

// SamplesPerPixel, BitsPerSample and PixelType follow from the bits per pixel where TWAIN
// knows the combination; other depths keep what an earlier page set.
void ApplyPixelRule(ImageInfo &info)
{
    SHORT bits = 0, samples = 0, pixelType = 0;
    switch (info.bitsPerPixel) {
    case 1: bits = 1; samples = 1; pixelType = 0; break;
    case 8: bits = 8; samples = 1; pixelType = 1; break;
    case 24: bits = 8; samples = 3; pixelType = 2; break;
    default: return;
    }
    info.bitsPerSample[0] = bits;
    info.bitsPerSample[1] = samples == 3 ? bits : SHORT{0};
    info.bitsPerSample[2] = samples == 3 ? bits : SHORT{0};
    info.pixelType = pixelType;
    info.samplesPerPixel = samples;
}

// The driver's record for a client's request, with a name buffer of our own.
struct DriverRequest
{
    TransferRequest record;
    wchar_t name[NAME_CHARS];

    explicit DriverRequest(const TransferRequestView &view)
        : record{view.kind, view.pixelCode, view.page, view.option, view.value, view.flag, name},
          name{}
    {
        BoundedCopy(name, NAME_CHARS, view.itemName);
    }
    DriverRequest(const DriverRequest &) = delete;
    DriverRequest &operator=(const DriverRequest &) = delete;
};

} // namespace

void CStiScannerComBridge::ScanImageProperties(const ItemRecord &item,
                                               const PropertyRecord *records, DWORD count)
{
    ImageInfo &info = *m_imageInfo;
    const bool gif = item.title != nullptr && wcsstr(item.title, L".gif") != nullptr;
    ForEachProperty(records, count, [&](const PropertyRecord &record) {
        const LONG value = record.value.number;
        switch (record.id) {
        case PROP_PAGES:
            m_pageCount = value;
            break;
        case PROP_DEPTH:
            // A GIF's depth is per channel: three channels make the pixel.
            info.bitsPerPixel = static_cast<SHORT>(value & 0xFFFF);
            if (gif)
                info.bitsPerPixel = static_cast<SHORT>(info.bitsPerPixel * 3);
            break;
        case PROP_COMPRESSION:
            info.compression = 0;
            break;
        case PROP_PLANAR:
            if (value == 0 || value == 1)
                info.planar = static_cast<USHORT>(value);
            break;
        case PROP_PIXELS_PER_LINE:
            info.imageWidth = value;
            break;
        case PROP_NUMBER_OF_LINES:
            info.imageLength = value;
            break;
        case PROP_XRES:
            info.xResolutionWhole = info.yResolutionWhole = DotsPerInch(value);
            info.xResolutionFrac = info.yResolutionFrac = 0;
            break;
        default:
            break;
        }
    });
    ApplyPixelRule(info);
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetImageInfo(ImageInfo *info, LONG queryPage)
{
    if (info == nullptr)
        return E_POINTER;
    if (m_selection == nullptr)
        return E_FAIL;
    if (m_imageInfo == nullptr) {
        m_imageInfo = static_cast<ImageInfo *>(GlobalAlloc(GPTR, sizeof(ImageInfo)));
        if (m_imageInfo == nullptr)
            return E_OUTOFMEMORY;
    }
    const ItemRecord *item = CurrentItem();
    if (item == nullptr)
        return E_FAIL;

    HRESULT result = S_OK;
    UniqueHGlobal answer;
    const PropertyRecord *records = item->properties;
    DWORD count = item->propertyCount;
    // Later pages are described by the driver; page 1 by the item's own properties.
    if (queryPage != 0 && m_currentPage > 1) {
        if (item->name == nullptr || item->name[0] == L'\0')
            return E_FAIL;
        TransferRequestView view = {0, 0, m_currentPage, 1, 0, 0, item->name};
        DriverRequest request(view);
        if (!NameFitsAnsi(item->name))
            return S_FALSE;
        answer = AllocZeroed(PAGE_PROPERTY_COUNT * sizeof(PropertyRecord));
        if (!answer)
            return S_BRIDGE_NO_ANSWER_BUFFER;

        if (m_stiDevice == nullptr)
            return E_FAIL;
        const DWORD answerSize = PAGE_PROPERTY_COUNT * sizeof(PropertyRecord);
        EscapeCall describe = MakeEscape(ESC_TRANSFER, &request.record, sizeof(TransferRequest),
                                         answer.get(), answerSize);
        const LockedExchange exchange = SendLocked(m_stiDevice, describe);
        if (!exchange.Locked())
            return S_FALSE;
        result = exchange.unlock;
        if (result == S_OK && SUCCEEDED(describe.result)) {
            records = static_cast<const PropertyRecord *>(answer.get());
            count = PAGE_PROPERTY_COUNT;
        } else if (result == S_OK) {
            // The page description did not arrive: the item's own properties stand in.
            result = S_FALSE;
        }
    }

    ScanImageProperties(*item, records, count);
    *info = *m_imageInfo;
    return result;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetImageSize(LONG *size)
{
    if (size == nullptr)
        return E_POINTER;
    HRESULT result = S_OK;
    if (m_imageInfo == nullptr) {
        ImageInfo scratch = {};
        result = GetImageInfo(&scratch, 1);
        if (m_imageInfo == nullptr)
            return result;
    }
    // Without row alignment, computed wide. Depth times lines always fits 64 bits; the width
    // can still carry the product past them, so that is checked before multiplying.
    const long long column = static_cast<long long>(m_imageInfo->bitsPerPixel) *
                             m_imageInfo->imageLength;
    const long long width = m_imageInfo->imageWidth;
    if (width != 0 && std::llabs(column) > LLONG_MAX / std::llabs(width))
        return E_SIZE_OVERFLOW;
    const long long bytes = column * width / 8;
    if (bytes > 0x7FFFFFFFLL || bytes < -0x80000000LL)
        return E_SIZE_OVERFLOW;
    *size = static_cast<LONG>(bytes);
    return result;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::PrepareTransfer(LONG, LONG, LONG kind, LONG, LONG,
                                                                LONG, LONG, LONG, LONG *code)
{
    if (code == nullptr)
        return E_POINTER;
    const ItemRecord *item = CurrentItem();
    if (item == nullptr || item->name == nullptr || item->name[0] == L'\0')
        return E_FAIL;
    if (!NameFitsAnsi(item->name))
        return S_FALSE;

    if (kind == 1) {
        // The low 16 bits carry the stored format; an item without one leaves them as they were.
        USHORT format = static_cast<USHORT>(*code & 0xFFFF);
        if (FAILED(GetCurrentItemFormat(&format)))
            return S_FALSE;
        *code = static_cast<LONG>((static_cast<ULONG>(*code) & 0xFFFF0000UL) | format);
        return S_OK;
    }
    if (kind != 0 && kind != 2)
        *code = 1;
    return BoundedLength(item->name, NAME_CHARS) >= NAME_CHARS ? E_BOUNDED_CUT : S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::TransferData(const TransferRequestView *request,
                                                             BYTE *buffer, ULONG size,
                                                             LONG *status)
{
    if (request == nullptr || status == nullptr)
        return E_POINTER;
    // A failed request leaves no stale bytes in the caller's buffer.
    if (buffer != nullptr)
        memset(buffer, 0, size);
    if (m_stiDevice == nullptr) {
        *status = TWRC_FAILURE_CODE;
        return E_FAIL;
    }
    DriverRequest driverRequest(*request);
    driverRequest.record.page = m_currentPage;
    EscapeCall transfer = MakeEscape(ESC_TRANSFER, &driverRequest.record, sizeof(TransferRequest),
                                     buffer, size, size);
    const LockedExchange exchange = SendLocked(m_stiDevice, transfer);
    if (!exchange.Locked()) {
        *status = TWRC_FAILURE_CODE;
        return E_FAIL;
    }
    if (buffer == nullptr || FAILED(exchange.unlock))
        *status = TWRC_FAILURE_CODE;
    else if (transfer.result == S_OK)
        *status = TWRC_SUCCESS_CODE;
    else if (transfer.result == S_FALSE)
        *status = TWRC_XFERDONE_CODE;
    else
        *status = TWRC_FAILURE_CODE;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::TransferQuery(const TransferRequestView *request,
                                                              LONG *value, LONG *status)
{
    if (request == nullptr || value == nullptr || status == nullptr)
        return E_POINTER;
    if (m_stiDevice == nullptr) {
        *status = TWRC_FAILURE_CODE;
        return E_FAIL;
    }
    DriverRequest driverRequest(*request);
    EscapeCall query = MakeEscape(ESC_TRANSFER, &driverRequest.record, sizeof(TransferRequest),
                                  nullptr, 0);
    const LockedExchange exchange = SendLocked(m_stiDevice, query);
    // The driver's answer is the number it leaves in `actual`.
    if (exchange.Locked() && SUCCEEDED(query.result) && query.actual != 0) {
        *value = static_cast<LONG>(query.actual);
        return S_OK;
    }
    *status = TWRC_FAILURE_CODE;
    return E_FAIL;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::TransferImage(const TransferRequestView *request,
                                                              BYTE *buffer, ULONG size,
                                                              LONG *status)
{
    if (request == nullptr || status == nullptr)
        return E_POINTER;
    if (buffer != nullptr)
        memset(buffer, 0, size);
    if (m_stiDevice == nullptr) {
        *status = TWRC_FAILURE_CODE;
        return E_FAIL;
    }
    DriverRequest driverRequest(*request);
    EscapeCall transfer = MakeEscape(ESC_TRANSFER, &driverRequest.record, sizeof(TransferRequest),
                                     buffer, size);
    const LockedExchange exchange = SendLocked(m_stiDevice, transfer);
    if (!exchange.Locked()) {
        *status = TWRC_FAILURE_CODE;
        return E_FAIL;
    }
    CompleteImageHeader(buffer, size);
    *status = SUCCEEDED(transfer.result) && buffer != nullptr ? TWRC_XFERDONE_CODE
                                                              : TWRC_FAILURE_CODE;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::TransferString(const TransferRequestView *request,
                                                               WCHAR **text, LONG *length,
                                                               LONG *status)
{
    if (request == nullptr || text == nullptr || length == nullptr || status == nullptr)
        return E_POINTER;
    *text = nullptr;
    if (m_stiDevice == nullptr) {
        *status = TWRC_FAILURE_CODE;
        return E_FAIL;
    }
    DriverRequest driverRequest(*request);
    const wchar_t *driverText = nullptr;
    EscapeCall fetch = MakeEscape(ESC_TRANSFER, &driverRequest.record, sizeof(TransferRequest),
                                  &driverText, sizeof(driverText));
    const LockedExchange exchange = SendLocked(m_stiDevice, fetch);
    if (!exchange.Locked()) {
        *status = TWRC_FAILURE_CODE;
        return E_FAIL;
    }
    // The driver's string is read no further than the memory that holds it: one without a
    // terminator there did not arrive.
    size_t characters = 0;
    if (FAILED(fetch.result) || !DriverTextLength(driverText, &characters)) {
        *status = TWRC_FAILURE_CODE;
        return exchange.unlock;
    }
    *length = static_cast<LONG>(characters);
    if (FAILED(exchange.unlock)) {
        *status = TWRC_FAILURE_CODE;
        return exchange.unlock;
    }
    // The driver's string stays the driver's: the client gets a copy it frees.
    auto *copy = static_cast<WCHAR *>(CoTaskMemAlloc((characters + 1) * sizeof(WCHAR)));
    if (copy == nullptr) {
        *status = TWRC_FAILURE_CODE;
        return E_OUTOFMEMORY;
    }
    wmemcpy(copy, driverText, characters);
    copy[characters] = L'\0';
    *text = copy;
    return S_OK;
}
