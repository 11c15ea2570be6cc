// Shared by the data source's tests: where the .ds is, and a session against a scenario.
#pragma once

#include "twain_app.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

const std::wstring &SourcePath();
void SetSourcePath(const std::wstring &path);

// The fuzzer's length and seed (--fuzz-triplets=, --fuzz-seed=), and a worker's scenario
// (--worker-scenario=: this process is one of several applications a test started).
struct RunOptions
{
    unsigned long fuzzTriplets = 1000;
    unsigned long fuzzSeed = 1;
    std::wstring workerScenario;
};
RunOptions &Options();

// The folder of the data source's own scenarios (beside the sources of these tests).
std::wstring SourceScenario(const wchar_t *name);

// A page the application should receive: the job's item name and the page number.
struct PageOf
{
    const wchar_t *item;
    LONG page;
};

// The value of a one-value container, and its container and item types.
struct Answer
{
    TW_UINT16 rc;
    TW_UINT16 conType;
    TW_UINT16 itemType;
    TW_UINT32 value; // ONEVALUE: the item; ENUMERATION, RANGE: the current item; ARRAY: the count
};

// A page as the application received it: its description, its rows from the top with their
// padding, and a native DIB's palette.
struct ReceivedPage
{
    TW_IMAGEINFO info = {};
    std::vector<BYTE> rows;
    size_t padded = 0;
    std::vector<RGBQUAD> palette;
    bool memory = false;

    // The pixel at (x, y) from the top as an application shows it: through the palette in a DIB;
    // in memory strips R,G,B, grey 0 black, black and white by the pixel flavour.
    RGBQUAD At(LONG x, LONG y, bool vanilla = false) const;
};

// Transfers the current page natively, or in memory strips of whatever fits in 1 MiB, and ends
// it (MSG_ENDXFER).
ReceivedPage ReceivePage(TwainApp &app, bool memory);

// Asks for a capability and reads the container the source answers with.
Answer Ask(TwainApp &app, TW_UINT16 msg, TW_UINT16 cap);

// Every page of the user's ready jobs in mailbox.scn, in transfer order.
extern const std::vector<PageOf> EVERY_READY_PAGE;

// A test against the built server and the simulated scanner: installs the scenario, writes the
// source's settings and the user's delete-after-scan preference, loads the .ds; afterwards checks
// that the server ended and the driver saw everything handed back.
class SourceTest : public testing::Test
{
protected:
    void Use(const wchar_t *scenario, DWORD deleteAfterScan = 0, const wchar_t *account = L"alice");
    void TearDown() override;

    // Sets a capability to one value (state 4).
    TW_UINT16 SetOneValue(TW_UINT16 cap, TW_UINT16 itemType, TW_UINT32 value);
    // Opens the source, chooses the transfer mechanism and enables it without its user
    // interface; the source answers with one message.
    void OpenAndEnable(TW_UINT16 expectedMessage, TW_UINT16 mechanism = TWSX_NATIVE);
    // Transfers the pending pages natively, or in memory strips of stripRows rows, checking each
    // against the generator and its colours as an application reads them, until none is pending
    // or `pages` are done (then MSG_RESET).
    void TransferPages(const std::vector<PageOf> &pages, bool memory, TW_UINT32 stripRows = 0,
                       bool resetAfter = false);
    // Counts of driver requests in the report of the ended server.
    size_t CountInReport(const char *text);

    TwainApp app;
    std::wstring scenario;
    std::string report;
    // Memory transfers: when not 0, every strip uses one buffer of this size (the rows that fit),
    // handed over as a handle when memoryHandle is set.
    TW_UINT32 memoryBuffer = 0;
    bool memoryHandle = false;
    // The palette of each native page of 1 or 8 bits, in transfer order.
    std::vector<std::vector<RGBQUAD>> palettes;

private:
    std::wstring m_reportPath;
    bool m_used = false;
};
