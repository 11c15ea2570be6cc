// Names of the HRESULTs a client of the bridge meets.
#pragma once

#include <windows.h>

// "E_FAIL", "RPC_E_DISCONNECTED", ...; null when the value has no name here.
const char *HresultName(HRESULT hr);
