// The source's lines in the diagnostics log.
#pragma once

#include "capabilities.h"
#include "diagnostics.h"

// One triplet as the application sent it and as the source answered: every failure from the
// errors level on, every triplet but the passing events from the calls level on, with the step
// that failed.
void LogTriplet(pTW_IDENTITY origin, TW_UINT32 group, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data,
                const TwainResult &result, const LogTimer &timer) noexcept;
