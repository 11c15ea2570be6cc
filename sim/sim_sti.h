// The simulated STI service, device object and scanner driver that the bridge runs against in
// tests, and the scripting interface through which tests build its world and read what the
// bridge did to it. The world is process-wide; every function here may be called from any
// thread, but a test edits devices (SimFindDevice, SimFindAccount) only while no call runs.
// In the unit tests the world is reset before every test, and violations still recorded when a
// test ends fail it (tests/unit/sim_teardown.cpp): a test that expects one takes it with
// SimTakeViolations().
#pragma once

#include "driver_records.h"

#include <windows.h>
#include <sti.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Same shape as StiCreateInstanceW: the factory a bridge is given.
HRESULT WINAPI SimStiCreateInstance(HINSTANCE instance, DWORD version, IStillImageW **out,
                                    IUnknown *outer);

// ---------------------------------------------------------------------------------------------
// The world: devices, their accounts and the items stored for each account.

// One PropertyRecord as the driver hands it out.
struct SimProperty
{
    enum Kind { Integer, Text, Time };

    DWORD id = 0;
    Kind kind = Integer;
    LONG value = 0;            // Integer: the value; Time: the element count
    std::wstring text;         // Text: the BSTR in the value slot
    bool nullText = false;     // Text: the value slot holds a null BSTR
    WORD time[8] = {};         // Time: the 16 bytes behind `elements`, SYSTEMTIME order
    bool nullElements = false; // Time: `elements` is null
};

SimProperty SimIntProperty(DWORD id, LONG value);
SimProperty SimTextProperty(DWORD id, const wchar_t *text); // null text: a null BSTR
SimProperty SimTimeProperty(const SYSTEMTIME &time, LONG elementCount = 1);

// A property of one page's description that differs from what the item's geometry gives.
struct SimPageProperty
{
    LONG page = 1;
    DWORD id = 0;
    LONG value = 0;
    bool remove = false;       // the record's id becomes 0, so no reader finds it
};

// The BITMAPINFOHEADER that a native transfer (ESC_TRANSFER kind 4) begins with.
struct SimImageHeader
{
    DWORD size = 40;           // 40 (BITMAPINFOHEADER) or 124 (BITMAPV5HEADER)
    DWORD compression = 0;     // written as is: 0 BI_RGB, 1 BI_RLE8, 3 BI_BITFIELDS
    bool topDown = false;      // negative biHeight, rows from the top
    bool fillSizeImage = false; // biSizeImage holds the padded size instead of 0
    bool invertedPalette = false; // depths up to 8: the palette runs from white to black
    DWORD coloursUsed = 0;     // biClrUsed as written when not 0 (the palette stays full)
};

struct SimItem
{
    std::wstring name;         // BSTR `name`: file name in the filing folder
    std::wstring title;        // BSTR `title`: display name
    std::wstring ownerSid;
    std::wstring driverKey;
    DWORD state = ITEM_STATE_READY;
    bool nullEntry = false;    // the list holds a null pointer in this place
    bool nullProperties = false; // `properties` is null, `propertyCount` as the vector says
    bool deleted = false;      // set by ESC_DELETE_ITEM; the next list leaves the item out
    std::vector<SimProperty> properties; // in record order, duplicates allowed

    // What the pages hold: every page has this geometry unless a page property says otherwise.
    LONG pages = 1;
    LONG width = 64;
    LONG height = 64;
    LONG depth = 24;           // bits per pixel: 1, 8 or 24 in practice
    LONG resolutionCode = 2;   // 6147 coding: 0 100 dpi, 1 200, 2 300, 3 400, 4 600, 5 150, 6 72
    LONG format = 1;           // 38933 coding
    SYSTEMTIME time = {2024, 3, 2, 5, 14, 30, 0, 0};
    std::vector<SimPageProperty> pageProperties;
    SimImageHeader header;
};

// WIA data type of a depth: 0 black and white (1 bit), 2 grey (8 or 16 bits), 3 colour.
LONG SimDataTypeOfDepth(LONG depth);

// The item properties its geometry implies: 3096, 4100 (time), 4103, 4104, 4107, 4111, 4112,
// 4114, 4116, 6147 and 38933, in that order.
std::vector<SimProperty> SimStandardItemProperties(const SimItem &item);

// An item with the standard properties of its geometry.
SimItem SimMakeItem(const wchar_t *name, const wchar_t *title, const wchar_t *ownerSid,
                    const wchar_t *driverKey, LONG pages, LONG width, LONG height, LONG depth);

struct SimAccount
{
    std::wstring key;          // the account key text the bridge sends
    std::vector<SimItem> items;
    std::vector<SimProperty> accountRecords;   // the AccountBlock's records (38946: the PIN)
    std::wstring settingsName;                 // settingsName of the scan-settings block
    std::vector<SimProperty> settings;         // the scan-settings block's records
    bool checkPin = false;     // ESC_SET_ACCOUNT with another PIN answers E_ACCESSDENIED
    std::wstring pin;
};

// Default record sets: a scan-settings block with every id the bridge writes, a capabilities
// block holding 38935, and an account block whose 38946 record holds an empty BSTR.
std::vector<SimProperty> SimStandardSettings();
std::vector<SimProperty> SimStandardCapabilities();
std::vector<SimProperty> SimStandardAccountRecords();

SimAccount SimMakeAccount(const wchar_t *key);

// Answers of a faulty driver, for tests of the bridge's defences. Counts stay what the records
// say unless set here.
struct SimDriverFaults
{
    bool listCountSet = false;          // the item-list header's `count` is listCount
    LONG listCount = 0;
    bool nullItemArray = false;         // the header's `items` is null; no list is handed out
    DWORD nullEntries = 0;              // null pointers after the items, counted in `count`
    bool nullSettingsRecords = false;   // `properties` null in the scan-settings block,
    bool nullCapabilityRecords = false; //   in the capabilities block
    bool nullAccountRecords = false;    //   and in the account block
    bool unterminatedSelectedItem = false; // the ESC_QUERY_VALUE block ends without a terminator
    bool unterminatedTransferString = false; // an ESC_TRANSFER string fills its block to the end
                                             //   without a terminator
    bool unterminatedUserDataKey = false;  // "UserDataKey" comes without its terminator
};

struct SimDevice
{
    std::wstring internalName; // szDeviceInternalName, the name GetDeviceInfo and CreateDevice take
    std::wstring description;  // pszDeviceDescription
    std::wstring localName;    // pszLocalName
    std::wstring vendor = L"Orvane";
    std::wstring portName = L"\\\\.\\Usbscan0";
    std::wstring propProvider = L"sti.dll";
    DWORD deviceType = static_cast<DWORD>(StiDeviceTypeScanner) << 16; // type in the high word
    std::wstring userDataKey;  // device value "UserDataKey"; empty: the value is absent
    std::vector<std::pair<std::wstring, std::wstring>> values; // further REG_SZ device values
    bool launch = false;       // GetSTILaunchInformation names this device
    std::wstring filingPath;   // written to the registry by sim_setup
    bool hasUserPin = false;   // sim_setup writes "OrvUserPIN" under HKCU\<userDataKey>
    std::wstring userPin;
    std::vector<SimProperty> capabilities;
    std::vector<SimProperty> defaultSettings;  // scan settings before any account is named
    std::vector<SimAccount> accounts;
    std::wstring selectedItem; // driverKey of the item selected on the device; empty: none
    SimDriverFaults faults;
};

SimDevice SimMakeDevice(const wchar_t *internalName, const wchar_t *description,
                        const wchar_t *localName);

// Forgets devices, logs, violations, injections, blocks and lock holders. Counters of live
// objects stay (objects that are still alive keep counting), the call totals restart.
void SimReset();

void SimAddDevice(const SimDevice &device);
// Pointers stay valid until SimReset; an account pointer until its device's accounts change.
SimDevice *SimFindDevice(const wchar_t *internalName);
SimAccount *SimFindAccount(const wchar_t *internalName, const wchar_t *accountKey);
SimItem *SimFindItem(const wchar_t *internalName, const wchar_t *accountKey,
                     const wchar_t *itemName);
size_t SimDeviceCount();

// ---------------------------------------------------------------------------------------------
// Failure injection: make a call answer as scripted.

enum class SimPoint
{
    CreateInstance,
    Initialize,
    GetLaunchInformation,
    GetDeviceList,
    GetDeviceInfo,
    CreateDevice,
    GetDeviceValue,
    LockDevice,
    UnLockDevice,
    GetLastError,
    Escape,
};

struct SimInjection
{
    SimPoint point = SimPoint::Escape;
    DWORD escapeCode = 0;      // Escape: the code it applies to; 0 any code
    LONG transferKind = -1;    // ESC_TRANSFER: the request kind it applies to; -1 any kind
    HRESULT result = E_FAIL;   // what the call answers
    bool perform = false;      // the call does its real work first (writes outputs, takes or
                               // releases the lock), then answers `result`
    bool setActual = false;    // Escape: leave `actual` here after the call; GetLastError: the
    DWORD actual = 0;          //   value written
    unsigned firstCall = 1;    // the first matching call it applies to, counting from 1
    unsigned count = 0;        // how many calls from there; 0 every one
};

SimInjection SimFailCall(SimPoint point, HRESULT result);
SimInjection SimFailEscape(DWORD code, HRESULT result);
void SimInject(const SimInjection &injection);
void SimClearInjections();

// ---------------------------------------------------------------------------------------------
// Scenario files (format in sim/SCENARIO.md).

// Parses a scenario; false with "source:line: message" in error on bad input.
bool SimParseScenario(const std::string &utf8Text, const char *sourceName,
                      std::vector<SimDevice> *devices, std::vector<SimInjection> *injections,
                      std::string *error);
bool SimParseScenarioFile(const wchar_t *path, std::vector<SimDevice> *devices,
                          std::vector<SimInjection> *injections, std::string *error);
// Resets the world and loads a scenario into it; on failure the world is left empty.
bool SimLoadScenarioText(const std::string &utf8Text, const char *sourceName, std::string *error);
bool SimLoadScenarioFile(const wchar_t *path, std::string *error);
// The built-in scenario (the text of sim/scenarios/default.scn).
const std::string &SimDefaultScenarioText();

// ---------------------------------------------------------------------------------------------
// What the bridge did.

enum class SimCallKind
{
    CreateInstance,
    Initialize,
    GetLaunchInformation,
    GetDeviceList,
    GetDeviceInfo,
    CreateDevice,
    GetDeviceValue,
    LockDevice,
    UnLockDevice,
    GetLastError,
    Escape,
    ReleaseService,            // the last reference of an STI service object went
    ReleaseDevice,             // the last reference of a device object went
};

struct SimCall
{
    SimCallKind kind;
    unsigned deviceObject;     // the device object called (CreateDevice: the one it created);
                               // 0 for the other calls on the service
    DWORD argument;            // LockDevice: the time-out; Escape: the code;
                               // CreateInstance: the version; CreateDevice: the mode
    HRESULT result;
    size_t escapeIndex;        // Escape: its index in SimEscapes()
};

struct SimEscape
{
    unsigned deviceObject;
    DWORD code;
    const void *in;
    DWORD inSize;
    void *out;
    DWORD outSize;
    bool hasActual;            // a pointer to `actual` was passed
    DWORD actualIn;
    DWORD actualOut;
    std::vector<BYTE> inBytes; // the first up to 64 bytes at the input pointer
    std::wstring text;         // account key read through the pointer, item name, PIN, ...
    bool locked;               // this device object held the device lock
    HRESULT result;
};

std::vector<SimCall> SimCalls();
std::vector<SimEscape> SimEscapes();
size_t SimCountEscapes(DWORD code);        // 0: all escapes
size_t SimCountCalls(SimCallKind kind);
size_t SimCallCount();                     // entries in SimCalls() so far
// The calls in order as text, e.g. "Lock Escape:101A Unlock"; a failed call carries a "!"
// ("Lock!"). deviceObject 0 lists the calls of every object.
std::string SimCallTrace(unsigned deviceObject = 0);
void SimClearLog();

// Settings the driver accepted (ESC_SET_SCAN_SETTINGS) and PINs it received (ESC_SET_ACCOUNT).
struct SimAppliedSettings
{
    unsigned deviceObject;
    std::wstring settingsName;
    bool nullSettingsName;
    std::wstring accountKey;
    bool nullAccountKey;
    std::vector<std::pair<DWORD, LONG>> values; // id and value of every record, in order
};

struct SimPinReceived
{
    unsigned deviceObject;
    std::wstring accountKey;   // the account the block was fetched for
    std::wstring pin;
    bool nullPin;              // the 38946 record held a null BSTR
    bool found;                // the block held a 38946 record
};

std::vector<SimAppliedSettings> SimSettingsApplied();
std::vector<SimPinReceived> SimPinsReceived();

// Event registrations that the driver holds (ESC_REGISTER_EVENT), and a way to fire them.
struct SimEventRegistration
{
    unsigned deviceObject;
    DWORD cookie;
    HANDLE event;
    DWORD kind;                // EVENT_JOB_ENDED or EVENT_ITEM_DELETED
};

std::vector<SimEventRegistration> SimEventRegistrations();
// Signals every registered event of that kind; returns how many were signalled.
size_t SimSignalEvent(DWORD kind);

// ---------------------------------------------------------------------------------------------
// Ownership ledger: every block the driver handed out.

enum class SimBlockKind
{
    ItemList,                  // handed back with ESC_FREE_BLOCK, actual 4
    ScanSettings,              // handed back with ESC_FREE_BLOCK, actual 2
    Capabilities,              // handed back with ESC_FREE_BLOCK, actual 0
    Account,                   // never handed back; lives until SimReset
    TransferString,            // the driver's; released with its device object
    QueryValue,                // a GlobalAlloc block that passes to the bridge
};

struct SimBlockInfo
{
    SimBlockKind kind;
    unsigned deviceObject;
    const void *address;       // item list: the pointer array; the others: the block itself
    std::wstring accountKey;
    bool released;
};

std::vector<SimBlockInfo> SimBlocks();
size_t SimCountBlocks(SimBlockKind kind, bool released);
// True when the address lies in driver memory that was released and poisoned.
bool SimIsReleasedMemory(const void *address);
// The byte released driver memory is filled with.
constexpr BYTE SIM_POISON_BYTE = 0xFE;
// Guarded: released driver memory is made inaccessible instead of poisoned, and every block ends
// just before an inaccessible page, so a read after hand-back or past a block faults at once.
// Resets the ledger: call it while no device object is alive.
void SimGuardReleasedMemory(bool guard);

// Protocol faults the driver saw: blocks handed back twice, by another device object, unknown
// or never; escapes outside the lock; wrong sizes or `actual` values; driver bytes changed.
std::vector<std::string> SimViolations();
std::vector<std::string> SimTakeViolations(); // returns them and forgets them

// ---------------------------------------------------------------------------------------------
// Counters.

struct SimCounters
{
    LONG liveServices;         // STI service objects alive now
    LONG liveDevices;          // device objects alive now
    LONG servicesCreated;      // since SimReset
    LONG devicesCreated;
    LONG addRefs;              // AddRef calls on sim objects since SimReset
    LONG releases;             // Release calls on sim objects since SimReset
};

SimCounters SimGetCounters();
// The id the logs give a live sim device object; 0 for anything else.
unsigned SimDeviceObjectId(IStiDevice *device);
// Called whenever the count of live sim objects drops to zero (sti.dll writes its report).
void SimSetIdleCallback(void (*callback)());
// True while this thread runs a call of the simulated service or of a device object (and so its
// driver); tests that count the bridge's own allocations leave those of the simulation out.
bool SimInsideCall();

// ---------------------------------------------------------------------------------------------
// The device lock: one per device internal name, shared by device objects in every process.

// Takes the device's lock on a thread of its own and holds it for holdMs (INFINITE: until
// SimReleaseLock). Returns a hold id once the lock is held, 0 when it was not taken in 10 s.
unsigned SimHoldLock(const wchar_t *internalName, DWORD holdMs);
void SimReleaseLock(unsigned hold);
std::wstring SimLockName(const wchar_t *internalName);
// Locks are shared by every process of one scope (empty by default, as for sti.dll); test
// processes that run side by side each take a scope of their own.
void SimSetLockScope(const wchar_t *scope);

// ---------------------------------------------------------------------------------------------
// Page content, the same bytes every transfer kind delivers.

// Every page is a test page (sim_page.cpp): raw rows from the top, (width x depth + 7) / 8
// bytes each. Whole-byte pixels are little-endian, smaller and odd sizes packed from the high
// bit; 1 bit is black (0) or white, up to 8 bits and 16 bits are grey levels, other depths hold
// blue, green and red in equal fields from the low bits up (at 24 bits the bytes B, G, R).
// Bytes past the page's end are 0.
void SimFillPage(const SimItem &item, LONG page, uint64_t offset, void *destination,
                 size_t length);
BYTE SimPageByte(const SimItem &item, LONG page, uint64_t offset);
// The same for the first item of that name in the loaded scenario, else in the built-in one;
// zeros when neither holds it.
void SimFillPage(const wchar_t *itemName, LONG page, uint64_t offset, void *destination,
                 size_t length);
BYTE SimPageByte(const wchar_t *itemName, LONG page, uint64_t offset);

// A page's geometry after its page properties.
struct SimPageGeometry
{
    LONG width;
    LONG height;
    LONG depth;
    uint64_t rowBytes;         // raw rows: (width * depth + 7) / 8, no padding
    uint64_t dataBytes;        // rowBytes * height
    uint64_t imageBytes;       // a native transfer: header, palette or masks, padded rows
};

SimPageGeometry SimGetPageGeometry(const SimItem &item, LONG page);

// Where a test page's features lie, in pixels from the top-left corner.
constexpr LONG SIM_PAGE_GRID = 50;
struct SimPageLayout
{
    LONG grid;          // below the header, thin lines on every row and column that is a
                        // multiple of it, black or white, whichever stands out
    LONG headerRows;    // the white header (a multiple of grid): mark, title, name, page
    LONG markSize;      // the top-left mark: a black right triangle with legs this long
    LONG textHeight;    // the title's height; the name and "page N of M" are 3/4 of it
    LONG barRowsEnd;    // colour pages: rows from headerRows up to this hold eight equal bars,
                        // red, green, blue, cyan, magenta, yellow, black, white, from the
                        // left; then (grey pages: from headerRows) a ramp from black at the
                        // left to white at the right, dithered at 1 bit
    bool colour;        // more than 8 bits and not 16
};
SimPageLayout SimGetPageLayout(const SimPageGeometry &geometry);
// The 18 records of a page description as ESC_TRANSFER kind 0 writes them (driver bytes
// included).
void SimBuildPageDescription(const SimItem &item, LONG page,
                             PropertyRecord records[PAGE_PROPERTY_COUNT]);
// The image a native transfer delivers; false when the buffer is too small.
bool SimRenderNativeImage(const SimItem &item, LONG page, BYTE *buffer, uint64_t size);

// A private id of the page description: the page number.
constexpr DWORD SIM_PROP_PAGE_NUMBER = 39168;

// ESC_TRANSFER request kinds this driver answers.
enum SimTransferKind : LONG
{
    SIM_TRANSFER_DESCRIPTION = 0, // option 1, 1584-byte output: the page description
    SIM_TRANSFER_DATA = 1,        // raw page data in chunks
    SIM_TRANSFER_QUERY = 2,       // a number in `actual`, chosen by `value`
    SIM_TRANSFER_STRING = 3,      // a pointer to a driver string, chosen by `value`
    SIM_TRANSFER_NATIVE = 4,      // a bitmap: header, palette or masks, rows
};

// `value` of a query (kind 2) and of a string request (kind 3).
enum SimQueryValue : LONG
{
    SIM_QUERY_DATA_BYTES = 0,
    SIM_QUERY_PAGE_COUNT = 1,
    SIM_QUERY_IMAGE_BYTES = 2,
    SIM_QUERY_ROW_BYTES = 3,
};

enum SimStringValue : LONG
{
    SIM_STRING_TITLE = 0,
    SIM_STRING_NAME = 1,
    SIM_STRING_DRIVER_KEY = 2,
    SIM_STRING_OWNER = 3,
};

// A text report of the world's state: counters, violations, the call trace.
std::string SimReportText();

// ---------------------------------------------------------------------------------------------
// The bridge's side, for tests that drive the simulation directly.

// Creates a service object and a device object for the device; both null on failure.
HRESULT SimOpenDevice(const wchar_t *internalName, IStillImageW **service, IStiDevice **device);
// Lock (4000 ms), one escape with `actual` preset, unlock; the escape's result unless the lock
// or the unlock failed. actualOut receives what the driver left in `actual`.
HRESULT SimLockedEscape(IStiDevice *device, DWORD code, void *in, DWORD inSize, void *out,
                        DWORD outSize, DWORD actual = 0, DWORD *actualOut = nullptr);
