// Driver requests: the lock envelope, the result rules and the property walk.
#include "escape.h"

#include "bounded_string.h"
#include "bridge.h"
#include "diagnostics.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Each escape's code, sizes and result for the traffic level; a failure as the step that failed.
void LogEscape(const EscapeCall &escape)
{
    if (!LogEnabled(LogLevel::Errors))
        return;
    char step[32];
    snprintf(step, sizeof(step), "Escape 0x%04lX", static_cast<unsigned long>(escape.code));
    LogStep(step, escape.result);
    if (LogEnabled(LogLevel::Traffic))
        LogLine("  %s in=%lu out=%lu returned=%lu -> %s", step, escape.inputSize, escape.outputSize,
                escape.actual, DescribeHresult(escape.result).c_str());
}

} // namespace

LockedExchange SendLocked(IStiDevice *device, EscapeCall *escapes, size_t count)
{
    LockedExchange exchange{LogStep("LockDevice", device->LockDevice(DEVICE_LOCK_TIMEOUT_MS)),
                            S_OK};
    if (!exchange.Locked())
        return exchange;
    for (size_t i = 0; i < count; ++i) {
        EscapeCall &escape = escapes[i];
        escape.result = device->Escape(escape.code, escape.input, escape.inputSize, escape.output,
                                       escape.outputSize, &escape.actual);
        LogEscape(escape);
    }
    exchange.unlock = LogStep("UnLockDevice", device->UnLockDevice());
    return exchange;
}

HRESULT ResultUnlockThenEscapes(const LockedExchange &exchange, const EscapeCall *escapes,
                                size_t count)
{
    if (FAILED(exchange.unlock))
        return exchange.unlock;
    for (size_t i = count; i > 0; --i) {
        if (FAILED(escapes[i - 1].result))
            return escapes[i - 1].result;
    }
    return S_OK;
}

HRESULT ResultSomethingCameBack(const LockedExchange &exchange, const EscapeCall &escape,
                                bool filled)
{
    if (FAILED(exchange.unlock))
        return exchange.unlock;
    return FAILED(escape.result) || !filled ? E_FAIL : S_OK;
}

HRESULT ResultPointerOptional(const LockedExchange &exchange, const EscapeCall &escape,
                              bool delivered)
{
    if (FAILED(exchange.unlock))
        return exchange.unlock;
    if (FAILED(escape.result))
        return escape.result;
    return delivered ? S_OK : escape.result;
}

HRESULT ResultAnyFailure(const LockedExchange &exchange, const EscapeCall &escape)
{
    return FAILED(escape.result) || FAILED(exchange.unlock) ? E_FAIL : S_OK;
}

HRESULT ResultEscapeFirst(const LockedExchange &exchange, const EscapeCall &escape)
{
    return FAILED(escape.result) ? escape.result : exchange.unlock;
}

const PropertyRecord *FindFirstProperty(const PropertyRecord *records, DWORD count, DWORD id)
{
    if (records == nullptr)
        return nullptr;
    for (DWORD i = 0; i < count; ++i) {
        if (records[i].id == id)
            return &records[i];
    }
    return nullptr;
}

PropertyRecord *FindFirstProperty(PropertyRecord *records, DWORD count, DWORD id)
{
    const PropertyRecord *found =
        FindFirstProperty(static_cast<const PropertyRecord *>(records), count, id);
    return const_cast<PropertyRecord *>(found);
}

const PropertyRecord *FindLastProperty(const PropertyRecord *records, DWORD count, DWORD id)
{
    const PropertyRecord *found = nullptr;
    ForEachProperty(records, count, [&](const PropertyRecord &record) {
        if (record.id == id)
            found = &record;
    });
    return found;
}

namespace {

bool Readable(const MEMORY_BASIC_INFORMATION &region)
{
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    return region.State == MEM_COMMIT && (region.Protect & readable) != 0 &&
           (region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) == 0;
}

} // namespace

bool DriverTextLength(const wchar_t *text, size_t *length)
{
    constexpr size_t MAX_CHARACTERS = 0x7FFFFFFF;
    if (text == nullptr || reinterpret_cast<uintptr_t>(text) % sizeof(wchar_t) != 0)
        return false;
    size_t counted = 0;
    // Region by region, so the read never reaches a page that is not there to be read.
    for (const wchar_t *next = text; counted < MAX_CHARACTERS;) {
        MEMORY_BASIC_INFORMATION region = {};
        if (VirtualQuery(next, &region, sizeof(region)) == 0 || !Readable(region))
            return false;
        const auto *end = static_cast<const BYTE *>(region.BaseAddress) + region.RegionSize;
        const size_t limit =
            static_cast<size_t>(end - reinterpret_cast<const BYTE *>(next)) / sizeof(wchar_t);
        const size_t found = BoundedLength(next, limit);
        counted += found;
        if (found < limit) {
            *length = counted;
            return counted <= MAX_CHARACTERS;
        }
        next += limit;
    }
    return false;
}

void CompleteImageHeader(BYTE *buffer, ULONG bufferSize)
{
    if (buffer == nullptr || bufferSize < sizeof(BITMAPINFOHEADER))
        return;
    BITMAPINFOHEADER header;
    memcpy(&header, buffer, sizeof(header));
    if (header.biSize != sizeof(BITMAPINFOHEADER) || header.biCompression != BI_RGB)
        return;
    // Computed in 64 bits with the absolute height, so a top-down image (negative height) gets
    // its real size and no product can overflow.
    const long long rowBytes =
        (static_cast<long long>(header.biBitCount) * header.biWidth + 31) / 32 * 4;
    const long long size = rowBytes * std::llabs(static_cast<long long>(header.biHeight));
    if (size < 0 || size > 0xFFFFFFFFLL)
        return;
    header.biSizeImage = static_cast<DWORD>(size);
    memcpy(buffer + offsetof(BITMAPINFOHEADER, biSizeImage), &header.biSizeImage,
           sizeof(header.biSizeImage));
}

HRESULT CStiScannerComBridge::QueryDriverValue(LONG selector, void **value)
{
    if (m_stiDevice == nullptr)
        return E_FAIL;
    // The driver writes into a local, so a pointer left from an earlier answer never passes as
    // a new one.
    void *answer = nullptr;
    EscapeCall query =
        MakeEscape(ESC_QUERY_VALUE, &selector, sizeof(selector), &answer, sizeof(answer));
    const LockedExchange exchange = SendLocked(m_stiDevice, query);
    if (!exchange.Locked())
        return exchange.lock;
    // Any block that came back passes to the bridge, which releases an earlier answer's.
    if (answer != nullptr) {
        if (m_driverValue != nullptr && m_driverValue != answer)
            GlobalFree(m_driverValue);
        m_driverValue = answer;
    }
    const bool delivered = SUCCEEDED(query.result) && answer != nullptr;
    if (delivered && value != nullptr)
        *value = answer;
    return ResultPointerOptional(exchange, query, delivered);
}
