#include "bounded_string.h"

#include "hresult_values.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>

namespace {

bool CapacityValid(size_t capacity)
{
    return capacity != 0 && capacity <= BOUNDED_MAX_CHARS;
}

} // namespace

size_t BoundedLength(const wchar_t *text, size_t limit)
{
    size_t length = 0;
    while (length < limit && text[length] != L'\0')
        ++length;
    return length;
}

HRESULT BoundedCopy(wchar_t *destination, size_t capacity, const wchar_t *source)
{
    if (!CapacityValid(capacity) || destination == nullptr)
        return E_INVALIDARG;
    if (source == nullptr)
        source = L"";
    size_t i = 0;
    for (; i + 1 < capacity && source[i] != L'\0'; ++i)
        destination[i] = source[i];
    destination[i] = L'\0';
    return source[i] == L'\0' ? S_OK : E_BOUNDED_CUT;
}

HRESULT BoundedCat(wchar_t *destination, const wchar_t *source)
{
    if (destination == nullptr)
        return E_INVALIDARG;
    const size_t used = BoundedLength(destination, NAME_CHARS);
    if (used == NAME_CHARS)
        return E_INVALIDARG;
    return BoundedCopy(destination + used, NAME_CHARS - used, source);
}

HRESULT BoundedFormatV(wchar_t *destination, size_t capacity, const wchar_t *format, va_list args)
{
    if (!CapacityValid(capacity) || destination == nullptr || format == nullptr)
        return E_INVALIDARG;
    // msvcrt's _vsnwprintf answers -1 and leaves the buffer unterminated when the text does not
    // fit, and the count without a terminator when it fits exactly; both count as a cut.
    // MSVC deprecates it in favour of the _s form (C4996); cuts are handled here.
#ifdef _MSC_VER
#pragma warning(push)
#pragma warning(disable : 4996)
#endif
    const int written = _vsnwprintf(destination, capacity, format, args);
#ifdef _MSC_VER
#pragma warning(pop)
#endif
    if (written < 0 || static_cast<size_t>(written) >= capacity) {
        destination[capacity - 1] = L'\0';
        return E_BOUNDED_CUT;
    }
    destination[written] = L'\0';
    return S_OK;
}

HRESULT BoundedFormat(wchar_t *destination, size_t capacity, const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    const HRESULT hr = BoundedFormatV(destination, capacity, format, args);
    va_end(args);
    return hr;
}

HRESULT BoundedFormatBytes(wchar_t *destination, size_t capacityBytes, const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    const HRESULT hr = BoundedFormatV(destination, capacityBytes / sizeof(wchar_t), format, args);
    va_end(args);
    return hr;
}
