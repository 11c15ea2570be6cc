// The scanner driver: answers the escape codes of one device object with records in its own
// memory and keeps the ledger of what it handed out. Called with the world's lock held.
#pragma once

#include "sim_sti.h"

#include <memory>
#include <string>

struct SimDriverContext
{
    unsigned deviceObject = 0;
    std::shared_ptr<SimDevice> device;
    std::wstring account;      // the account named by the last escape that carried a key
    bool hasAccount = false;
    // Where a chunked data transfer stands; it restarts when the item or the page changes.
    std::wstring transferItem;
    LONG transferPage = 0;
    uint64_t transferPosition = 0;
};

// Checks sizes and the incoming `actual` against the protocol and records violations.
void SimDriverCheckProtocol(const SimDriverContext &context, DWORD code, const void *in,
                            DWORD inSize, const void *out, DWORD outSize, const DWORD *actual);

// Answers one escape; text receives what the log shows of it (account key, item name, ...).
HRESULT SimDriverEscape(SimDriverContext &context, DWORD code, void *in, DWORD inSize, void *out,
                        DWORD outSize, DWORD *actual, std::wstring *text);

// The device object goes: blocks it should have handed back are violations, and the driver
// takes back whatever it still has out for the object.
void SimDriverObjectReleased(SimDriverContext &context);

const char *SimEscapeName(DWORD code);
