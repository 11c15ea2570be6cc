// Driver requests: the lock envelope and the result rules.
#include "bridge.h"

HRESULT CStiScannerComBridge::QueryDriverValue(LONG, void **)
{
    return E_NOTIMPL;
}
