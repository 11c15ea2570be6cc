// Bounded wide-string helpers. Each leaves the destination terminated and returns S_OK when the
// whole text fit; otherwise it keeps the first capacity - 1 characters, terminates and returns
// E_BOUNDED_CUT. A capacity of 0 or above BOUNDED_MAX_CHARS returns E_INVALIDARG and writes nothing.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstddef>

constexpr size_t BOUNDED_MAX_CHARS = 0x7FFFFFFF;

// Capacity of the wide-character buffers used throughout: 260 characters, terminator included.
constexpr size_t NAME_CHARS = 260;
constexpr size_t NAME_BYTES = NAME_CHARS * sizeof(wchar_t);

// Appends source to a destination of NAME_CHARS characters. A destination without a terminator
// within its NAME_CHARS characters returns E_INVALIDARG.
HRESULT BoundedCat(wchar_t *destination, const wchar_t *source);

// Copies source into a destination of capacity characters.
HRESULT BoundedCopy(wchar_t *destination, size_t capacity, const wchar_t *source);

// Formats into a destination of capacity characters; "%ls" formats a wide string on every
// compiler.
HRESULT BoundedFormat(wchar_t *destination, size_t capacity, const wchar_t *format, ...);

// As BoundedFormat, with the capacity given in bytes (halved to characters first).
HRESULT BoundedFormatBytes(wchar_t *destination, size_t capacityBytes, const wchar_t *format, ...);

HRESULT BoundedFormatV(wchar_t *destination, size_t capacity, const wchar_t *format, va_list args);

// A null text counts as empty.
inline const wchar_t *TextOrEmpty(const wchar_t *text)
{
    return text != nullptr ? text : L"";
}

// Registry and device strings may come without a terminator: ends the text at the length the
// call returned, or at the buffer's last character.
inline void TerminateAtLength(wchar_t *text, DWORD bytesReturned, size_t capacity)
{
    const size_t length = bytesReturned / sizeof(wchar_t);
    text[length < capacity ? length : capacity - 1] = L'\0';
}

// Length of text up to its terminator, counted up to limit characters (limit when none is found).
size_t BoundedLength(const wchar_t *text, size_t limit);
