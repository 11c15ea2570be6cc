// Driver requests: every request is one device lock of 4000 ms, one or two escapes, and one
// unlock whatever the escapes returned. No escape and no unlock follow a failed lock. How the
// lock, escape and unlock results combine is each method's rule; the helpers below name them.
#pragma once

#include "driver_records.h"

#include <windows.h>
#include <sti.h>

#include <cstddef>

constexpr DWORD DEVICE_LOCK_TIMEOUT_MS = 4000;

// One escape of a request. `actual` is preset before the call and holds what the driver left.
struct EscapeCall
{
    STI_RAW_CONTROL_CODE code;
    void *input;
    DWORD inputSize;
    void *output;
    DWORD outputSize;
    DWORD actual;
    HRESULT result;
};

// Builds an escape with its preset `actual`.
inline EscapeCall MakeEscape(STI_RAW_CONTROL_CODE code, void *input, DWORD inputSize,
                             void *output, DWORD outputSize, DWORD actual = 0)
{
    return EscapeCall{code, input, inputSize, output, outputSize, actual, E_FAIL};
}

// What the lock and the unlock of a request returned.
struct LockedExchange
{
    HRESULT lock;     // LockDevice; when it failed nothing else was called
    HRESULT unlock;   // UnLockDevice; S_OK when it was not called

    bool Locked() const { return SUCCEEDED(lock); }
};

// Lock, the escapes in order (the second also when the first failed), unlock.
LockedExchange SendLocked(IStiDevice *device, EscapeCall *escapes, size_t count);

inline LockedExchange SendLocked(IStiDevice *device, EscapeCall &escape)
{
    return SendLocked(device, &escape, 1);
}

// R1: the unlock's failure, else the last escape that failed, else S_OK.
HRESULT ResultUnlockThenEscapes(const LockedExchange &exchange, const EscapeCall *escapes,
                                size_t count);

inline HRESULT ResultUnlockThenEscapes(const LockedExchange &exchange, const EscapeCall &escape)
{
    return ResultUnlockThenEscapes(exchange, &escape, 1);
}

// R2: the unlock's failure, else E_FAIL when the escape failed or filled nothing, else S_OK.
HRESULT ResultSomethingCameBack(const LockedExchange &exchange, const EscapeCall &escape,
                                bool filled);

// R3: the unlock's failure, else the escape's failure, else S_OK when a pointer came back and
// the escape's own non-negative result when none did.
HRESULT ResultPointerOptional(const LockedExchange &exchange, const EscapeCall &escape,
                              bool delivered);

// R4: E_FAIL when the escape or the unlock failed, else S_OK.
HRESULT ResultAnyFailure(const LockedExchange &exchange, const EscapeCall &escape);

// R5: the unlock's result; the escape's is not examined.
inline HRESULT ResultUnlockDecides(const LockedExchange &exchange)
{
    return exchange.unlock;
}

// R6: the escape's failure, else the unlock's result.
HRESULT ResultEscapeFirst(const LockedExchange &exchange, const EscapeCall &escape);

// Records are walked from the first, one every 88 bytes; null arrays hold nothing.
const PropertyRecord *FindFirstProperty(const PropertyRecord *records, DWORD count, DWORD id);
const PropertyRecord *FindLastProperty(const PropertyRecord *records, DWORD count, DWORD id);
PropertyRecord *FindFirstProperty(PropertyRecord *records, DWORD count, DWORD id);

// Applies visit to every record in order, so that of several records with one id the last wins.
template <typename Visit>
void ForEachProperty(const PropertyRecord *records, DWORD count, Visit &&visit)
{
    if (records == nullptr)
        return;
    for (DWORD i = 0; i < count; ++i)
        visit(records[i]);
}

// Length of a zero-terminated text the driver points to, read no further than the committed,
// readable memory that holds it; false when no terminator comes first, the text is not aligned
// to its characters, or it is longer than a 32-bit signed length.
bool DriverTextLength(const wchar_t *text, size_t *length);

// Completes biSizeImage of an uncompressed BITMAPINFOHEADER at the start of an image buffer:
// the row length rounded up to 4 bytes, times the height. Buffers shorter than the header,
// other headers, compressed images and sizes beyond 32 bits are left as the driver wrote them.
void CompleteImageHeader(BYTE *buffer, ULONG bufferSize);
