// Small RAII owners for the platform handles the server holds, in the manner of WIL's
// unique_any: one owner type per kind of handle, moved never copied.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <utility>

template <typename T, typename Close, T Invalid = T()>
class UniqueAny
{
public:
    UniqueAny() = default;
    explicit UniqueAny(T value) : m_value(value) {}
    UniqueAny(const UniqueAny &) = delete;
    UniqueAny &operator=(const UniqueAny &) = delete;
    UniqueAny(UniqueAny &&other) noexcept : m_value(other.release()) {}
    UniqueAny &operator=(UniqueAny &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    ~UniqueAny() { reset(); }

    T get() const { return m_value; }
    T *put()
    {
        reset();
        return &m_value;
    }
    T release() { return std::exchange(m_value, Invalid); }
    void reset(T value = Invalid)
    {
        T old = std::exchange(m_value, value);
        if (old != Invalid)
            Close()(old);
    }
    explicit operator bool() const { return m_value != Invalid; }

private:
    T m_value = Invalid;
};

struct CloseRegKey { void operator()(HKEY key) const { RegCloseKey(key); } };
struct CloseHandleOwner { void operator()(HANDLE handle) const { CloseHandle(handle); } };
struct FreeGlobal { void operator()(HGLOBAL memory) const { GlobalFree(memory); } };
struct FreeLocal { void operator()(HLOCAL memory) const { LocalFree(memory); } };
struct FreeBstr { void operator()(BSTR text) const { SysFreeString(text); } };
struct FreeCoTaskMem { void operator()(void *memory) const { CoTaskMemFree(memory); } };

using UniqueHKey = UniqueAny<HKEY, CloseRegKey>;
using UniqueHandle = UniqueAny<HANDLE, CloseHandleOwner>;
using UniqueHGlobal = UniqueAny<HGLOBAL, FreeGlobal>;
using UniqueHLocal = UniqueAny<HLOCAL, FreeLocal>;
using UniqueBstr = UniqueAny<BSTR, FreeBstr>;
using UniqueCoTaskMem = UniqueAny<void *, FreeCoTaskMem>;

// A zero-filled block from GlobalAlloc, freed when the owner goes.
inline UniqueHGlobal AllocZeroed(SIZE_T bytes)
{
    return UniqueHGlobal(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, bytes));
}

// Releases a COM pointer that is held and clears it.
template <typename T>
ULONG ReleaseAndClear(T *&object)
{
    ULONG count = 0;
    if (object != nullptr)
        count = std::exchange(object, nullptr)->Release();
    return count;
}
