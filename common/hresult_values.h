// HRESULT values shared by the server and the bridge.
#pragma once

#include <windows.h>

// A bounded copy or format had to cut its text (STRSAFE_E_INSUFFICIENT_BUFFER).
constexpr HRESULT E_BOUNDED_CUT = static_cast<HRESULT>(0x8007007AL);

// A distinct success code some methods answer with besides S_OK and S_FALSE.
constexpr HRESULT S_BRIDGE_NO_ANSWER_BUFFER = static_cast<HRESULT>(2);

// TWAIN return codes reported in the transfer methods' status outputs.
constexpr LONG TWRC_SUCCESS_CODE = 0;
constexpr LONG TWRC_FAILURE_CODE = 1;
constexpr LONG TWRC_XFERDONE_CODE = 6;
