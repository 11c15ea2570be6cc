// Scan settings: the driver's settings block read into client codes, changed, applied and
// handed back, and the capabilities block handed back.
#include "bridge.h"

#include "bounded_string.h"
#include "escape.h"
#include "hresult_values.h"

#include <cwchar>

namespace {

// The composed settings name is cut to this many characters, terminator included.
constexpr size_t SETTINGS_NAME_CHARS = 128;
constexpr wchar_t TOKEN_SEPARATORS[] = L" ,\t\n";

// Reading: driver value to client code.
USHORT ReadPixelType(LONG value)
{
    return static_cast<USHORT>(value == 2 ? 1 : value == 3 ? 2 : 0);
}

USHORT ReadPaperSize(LONG value)
{
    switch (value) {
    case 0: return 0;
    case 1: case 2: return 52;
    case 3: case 4: case 5: return 3;
    case 6: return 4;
    case 7: return 10;
    case 8: case 9: return 5;
    case 10: case 11: return 1;
    case 12: return 11;
    default: return 3;
    }
}

USHORT ReadResolution(LONG value)
{
    static const USHORT DPI[] = {100, 200, 300, 400, 600, 150, 72};
    return value >= 0 && value < 7 ? DPI[value] : 600;
}

USHORT ReadFormat(LONG value)
{
    return static_cast<USHORT>(value == 0 ? 4 : value == 1 ? 0 : value == 2 ? 6 : 2);
}

// Writing: client code to driver value.
LONG WritePixelType(USHORT code)
{
    return code == 2 ? 3 : 0;
}

LONG WriteFormat(USHORT code)
{
    return code == 0 ? 1 : code == 2 ? 5 : code == 4 ? 0 : 2;
}

LONG WriteResolution(USHORT dpi)
{
    switch (dpi) {
    case 72: return 6;
    case 100: return 0;
    case 150: return 5;
    case 200: return 1;
    case 300: return 2;
    case 400: return 3;
    default: return 4;
    }
}

LONG WritePaperSize(USHORT code, bool variant)
{
    switch (code) {
    case 1: return variant ? 11 : 10;
    case 4: return 6;
    case 5: return variant ? 9 : 8;
    case 9: case 10: return 7;
    case 11: return 12;
    case 52: return variant ? 2 : 3;
    default: return 0;
    }
}

// "_Scan_Colour_A4" from "Scan, Colour\tA4": every token preceded by '_', up to 259 characters.
// The caller's text is only read.
void ComposeTokenName(const wchar_t *text, wchar_t (&name)[NAME_CHARS])
{
    name[0] = L'\0';
    if (text == nullptr)
        return;
    wchar_t token[NAME_CHARS];
    for (const wchar_t *p = text + wcsspn(text, TOKEN_SEPARATORS); *p != L'\0';
         p += wcsspn(p, TOKEN_SEPARATORS)) {
        const size_t length = wcscspn(p, TOKEN_SEPARATORS);
        const size_t kept = length < NAME_CHARS - 1 ? length : NAME_CHARS - 1;
        wmemcpy(token, p, kept);
        token[kept] = L'\0';
        p += length;
        if (BoundedCat(name, L"_") != S_OK || BoundedCat(name, token) != S_OK ||
            kept < length)
            return;
    }
}

// Replaces a BSTR of a driver record: the new string first, so a failure leaves the old one.
bool ReplaceString(BSTR &field, const wchar_t *text)
{
    BSTR copy = SysAllocString(text);
    if (copy == nullptr)
        return false;
    SysFreeString(field);
    field = copy;
    return true;
}

} // namespace

HRESULT CStiScannerComBridge::SendSettingsPhase(STI_RAW_CONTROL_CODE code)
{
    if (m_stiDevice == nullptr || m_accountKey == nullptr)
        return E_FAIL;
    EscapeCall phase = MakeEscape(code, m_accountKey, sizeof(void *), nullptr, 0);
    const LockedExchange exchange = SendLocked(m_stiDevice, phase);
    if (!exchange.Locked())
        return E_FAIL;
    // What the driver accepted decides whether a phase stands open on this device object.
    if (SUCCEEDED(phase.result))
        m_settingsPhaseOpen = code == ESC_BEGIN_SETTINGS;
    return ResultAnyFailure(exchange, phase);
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::BeginSettings()
{
    return SendSettingsPhase(ESC_BEGIN_SETTINGS);
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::EndSettings()
{
    return SendSettingsPhase(ESC_END_SETTINGS);
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetScanSettings(USHORT *pixelType,
                                                                USHORT *paperSize,
                                                                USHORT *resolution,
                                                                USHORT *formatCode,
                                                                USHORT *settingFlag)
{
    if (pixelType == nullptr || paperSize == nullptr || resolution == nullptr ||
        formatCode == nullptr || settingFlag == nullptr)
        return E_POINTER;
    HRESULT hr = BeginSettings();
    if (FAILED(hr))
        return hr;

    // A block already held is read as it stands, with the edits of SetScanSettings.
    if (m_scanSettings == nullptr) {
        if (m_stiDevice == nullptr)
            return E_FAIL;
        PropertyBlock *block = nullptr;
        EscapeCall fetch = MakeEscape(ESC_GET_SCAN_SETTINGS, nullptr, 0, &block, sizeof(block));
        const LockedExchange exchange = SendLocked(m_stiDevice, fetch);
        if (!exchange.Locked())
            return exchange.lock;
        // A block that came back is held (and later handed back) whatever the result said.
        if (block != nullptr)
            m_scanSettings = block;
        const bool delivered = SUCCEEDED(fetch.result) && block != nullptr;
        hr = ResultPointerOptional(exchange, fetch, delivered);
        if (FAILED(hr))
            return hr;
    }
    return MapScanSettings(pixelType, paperSize, resolution, formatCode, settingFlag);
}

HRESULT CStiScannerComBridge::MapScanSettings(USHORT *pixelType, USHORT *paperSize,
                                              USHORT *resolution, USHORT *formatCode,
                                              USHORT *settingFlag)
{
    if (m_scanSettings == nullptr || m_scanSettings->properties == nullptr)
        return E_FAIL;
    // Every record is applied in turn, so of two records with one id the last wins.
    ForEachProperty(m_scanSettings->properties, m_scanSettings->count,
                    [&](const PropertyRecord &record) {
                        const LONG value = record.value.number;
                        switch (record.id) {
                        case PROP_DATATYPE: *pixelType = ReadPixelType(value); break;
                        case PROP_PAPER_SIZE: *paperSize = ReadPaperSize(value); break;
                        case PROP_XRES: *resolution = ReadResolution(value); break;
                        case PROP_FORMAT: *formatCode = ReadFormat(value); break;
                        case PROP_SETTING_FLAG:
                            *settingFlag = static_cast<USHORT>(value == 1);
                            break;
                        default: break;
                        }
                    });
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::SetScanSettings(const WCHAR *nameText,
                                                                USHORT pixelType,
                                                                USHORT paperSize,
                                                                USHORT resolution,
                                                                USHORT formatCode,
                                                                USHORT sizeVariant,
                                                                USHORT settingFlag)
{
    wchar_t tokenName[NAME_CHARS];
    ComposeTokenName(nameText, tokenName);

    wchar_t settingsName[NAME_CHARS] = {};
    wchar_t resolved[NAME_CHARS] = {};
    if (m_deviceInfo != nullptr && ResolveSettingsName(resolved) == S_OK)
        BoundedFormat(settingsName, SETTINGS_NAME_CHARS, L"%ls_%ls", resolved, tokenName);
    else
        BoundedCopy(settingsName, NAME_CHARS, tokenName);

    if (m_scanSettings == nullptr)
        return E_FAIL;
    if (!ReplaceString(m_scanSettings->settingsName, settingsName))
        return E_FAIL;
    if (m_accountKey == nullptr || !ReplaceString(m_scanSettings->accountKey, m_accountKey))
        return E_FAIL;

    // The first record of each id is written; values written before a failure stay.
    const struct
    {
        DWORD id;
        LONG value;
    } required[] = {
        {PROP_DATATYPE, WritePixelType(pixelType)},
        {PROP_FORMAT, WriteFormat(formatCode)},
        {PROP_XRES, WriteResolution(resolution)},
        {PROP_PAPER_SIZE, WritePaperSize(paperSize, sizeVariant != 0)},
        {PROP_SETTING_FLAG, settingFlag != 0 ? 1 : 0},
        {PROP_FIXED_38920, 0},
    };
    for (const auto &property : required) {
        if (FAILED(SetPropertyValue(m_scanSettings, property.id, property.value)))
            return E_FAIL;
    }
    // These the driver may lack; a missing one is skipped.
    SetPropertyValue(m_scanSettings, PROP_FIXED_38938, 3);
    SetPropertyValue(m_scanSettings, PROP_FIXED_38936, 0);
    SetPropertyValue(m_scanSettings, PROP_FIXED_38949, 0);
    SetPropertyValue(m_scanSettings, PROP_FIXED_38953, 0);

    const HRESULT hr = ApplyScanSettings();
    return FAILED(hr) ? E_FAIL : hr;
}

HRESULT CStiScannerComBridge::SetPropertyValue(PropertyBlock *block, DWORD id, LONG value)
{
    if (block == nullptr || block->count == 0)
        return E_FAIL;
    PropertyRecord *record = FindFirstProperty(block->properties, block->count, id);
    if (record == nullptr)
        return E_FAIL;
    record->value.number = value;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::ApplyScanSettings()
{
    if (m_scanSettings == nullptr || m_scanSettings->properties == nullptr ||
        m_stiDevice == nullptr)
        return E_FAIL;
    EscapeCall apply = MakeEscape(ESC_SET_SCAN_SETTINGS, m_scanSettings, sizeof(PropertyBlock),
                                  nullptr, 0);
    const LockedExchange exchange = SendLocked(m_stiDevice, apply);
    if (!exchange.Locked())
        return E_FAIL;
    return ResultUnlockThenEscapes(exchange, apply);
}

HRESULT CStiScannerComBridge::FreeBlock(PropertyBlock *&block, DWORD which)
{
    if (m_stiDevice == nullptr || block == nullptr)
        return E_FAIL;
    EscapeCall release =
        MakeEscape(ESC_FREE_BLOCK, block, sizeof(PropertyBlock), nullptr, 0, which);
    const LockedExchange exchange = SendLocked(m_stiDevice, release);
    if (!exchange.Locked()) {
        if (which == FREE_SCAN_SETTINGS) {
            DWORD lastError = 0;
            m_stiDevice->GetLastError(&lastError);
        }
        return exchange.lock;
    }
    // Once the driver has released the block it must not be read or handed back again.
    if (SUCCEEDED(release.result))
        block = nullptr;
    return ResultUnlockThenEscapes(exchange, release);
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::FreeScanSettings()
{
    return FreeBlock(m_scanSettings, FREE_SCAN_SETTINGS);
}

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::FreeCapabilities()
{
    return FreeBlock(m_capabilities, FREE_CAPABILITIES);
}
