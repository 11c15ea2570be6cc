#include "hresult_text.h"

#include <winerror.h>

const char *HresultName(HRESULT hr)
{
    struct Named
    {
        HRESULT value;
        const char *name;
    };
    static const Named NAMES[] = {
        {S_OK, "S_OK"},
        {S_FALSE, "S_FALSE"},
        {E_FAIL, "E_FAIL"},
        {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
        {E_INVALIDARG, "E_INVALIDARG"},
        {E_POINTER, "E_POINTER"},
        {E_NOTIMPL, "E_NOTIMPL"},
        {E_NOINTERFACE, "E_NOINTERFACE"},
        {E_ACCESSDENIED, "E_ACCESSDENIED"},
        {CLASS_E_NOAGGREGATION, "CLASS_E_NOAGGREGATION"},
        {REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG (the server is not registered)"},
        {CO_E_SERVER_EXEC_FAILURE, "CO_E_SERVER_EXEC_FAILURE (the server did not start)"},
        {RPC_E_DISCONNECTED, "RPC_E_DISCONNECTED (the server went away)"},
        {RPC_E_SERVER_DIED, "RPC_E_SERVER_DIED"},
        {static_cast<HRESULT>(0x800706BA), "RPC_S_SERVER_UNAVAILABLE"},
        {static_cast<HRESULT>(0x8007007A), "STRSAFE_E_INSUFFICIENT_BUFFER (a text was cut)"},
        {HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW), "the image size does not fit 32 bits"},
        {HRESULT_FROM_WIN32(ERROR_TIMEOUT), "the device is busy (lock time-out)"},
    };
    for (const Named &named : NAMES) {
        if (named.value == hr)
            return named.name;
    }
    return nullptr;
}
