// Records and escape codes shared with the scanner's STI user-mode driver. The driver runs in
// this process: it answers with pointers to records in its own memory, which the bridge reads,
// edits in place and hands back. Byte layouts are those of the 64-bit process.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <sti.h>

#include <cstddef>
#include <cstdint>

// Private escape codes understood by the driver.
enum EscapeCode : STI_RAW_CONTROL_CODE
{
    ESC_PREPARE_ITEM = 0x1005,
    ESC_TRANSFER = 0x1007,
    ESC_DELETE_ITEM = 0x1008,
    ESC_GET_SCAN_SETTINGS = 0x1009,
    ESC_SET_SCAN_SETTINGS = 0x100B,
    ESC_GET_CAPABILITIES = 0x100C,
    ESC_FREE_BLOCK = 0x100E,
    ESC_BEGIN_SETTINGS = 0x100F,
    ESC_END_SETTINGS = 0x1010,
    ESC_REGISTER_EVENT = 0x1011,
    ESC_UNREGISTER_EVENT = 0x1012,
    ESC_QUERY_VALUE = 0x1013,
    ESC_SET_ACCOUNT = 0x1016,
    ESC_GET_ACCOUNT = 0x1017,
    ESC_GET_ITEM_LIST = 0x101A,
};

// The `actual` value that tells the driver which block a free request hands back.
constexpr DWORD FREE_ITEM_LIST = 4;
constexpr DWORD FREE_SCAN_SETTINGS = 2;
constexpr DWORD FREE_CAPABILITIES = 0;

// The `actual` value that tells the driver which event a (un)registration concerns.
constexpr DWORD EVENT_JOB_ENDED = 16;
constexpr DWORD EVENT_ITEM_DELETED = 4;

// Selector of ESC_QUERY_VALUE whose answer is the driver key of the item selected on the device.
constexpr LONG QUERY_SELECTED_ITEM = 16;

// Item state that means the item is ready.
constexpr DWORD ITEM_STATE_READY = 2;

// Size of the page description that ESC_TRANSFER returns to GetImageInfo: 18 property records.
constexpr DWORD PAGE_PROPERTY_COUNT = 18;

// Property ids: Windows Image Acquisition numbering where one exists, private ids from 38917.
enum PropertyId : DWORD
{
    PROP_PAGES = 3096,             // WIA_DPS_PAGES
    PROP_ITEM_TIME = 4100,         // WIA_IPA_ITEM_TIME
    PROP_DATATYPE = 4103,          // WIA_IPA_DATATYPE
    PROP_DEPTH = 4104,             // WIA_IPA_DEPTH
    PROP_COMPRESSION = 4107,       // WIA_IPA_COMPRESSION
    PROP_PLANAR = 4111,            // WIA_IPA_PLANAR
    PROP_PIXELS_PER_LINE = 4112,   // WIA_IPA_PIXELS_PER_LINE
    PROP_NUMBER_OF_LINES = 4114,   // WIA_IPA_NUMBER_OF_LINES
    PROP_ITEM_SIZE = 4116,         // WIA_IPA_ITEM_SIZE
    PROP_XRES = 6147,              // WIA_IPS_XRES
    PROP_PAPER_SIZE = 38917,
    PROP_SETTING_FLAG = 38918,
    PROP_FIXED_38920 = 38920,
    PROP_FORMAT = 38933,
    PROP_EXTENDED_CAPABILITY = 38935,
    PROP_FIXED_38936 = 38936,
    PROP_FIXED_38938 = 38938,
    PROP_PIN = 38946,
    PROP_FIXED_38949 = 38949,
    PROP_FIXED_38953 = 38953,
};

#pragma pack(push, 8)

struct PropertyRecord
{
    BYTE driver0[8];
    DWORD id;
    BYTE driver12[20];
    union {
        LONG number;       // integer properties (first 4 bytes)
        BSTR text;         // 38946: the PIN
        DWORD count;       // 4100: element count
        BYTE raw[8];
    } value;
    void *elements;        // 4100: eight 16-bit values in SYSTEMTIME order
    BYTE driver48[40];
};

struct ItemRecord
{
    BYTE driver0[8];
    BSTR name;
    BSTR title;
    wchar_t *ownerSid;
    wchar_t *driverKey;
    DWORD state;
    DWORD propertyCount;
    PropertyRecord *properties;
};

struct ItemListHeader
{
    LONG count;
    BYTE driver4[4];
    ItemRecord **items;
};

struct PropertyBlock
{
    BYTE driver0[8];
    BSTR settingsName;
    BSTR accountKey;
    DWORD count;
    BYTE driver28[4];
    PropertyRecord *properties;
};

struct AccountBlock
{
    BYTE driver0[16];
    DWORD count;
    BYTE driver20[4];
    PropertyRecord *properties;
};

struct TransferRequest
{
    LONG kind;
    LONG pixelCode;
    LONG page;
    LONG option;
    LONG value;
    LONG flag;
    wchar_t *itemName;     // a buffer of 260 characters
};

#pragma pack(pop)

static_assert(sizeof(void *) == 8, "the driver records are those of the 64-bit process");

static_assert(sizeof(PropertyRecord) == 88, "PropertyRecord is 88 bytes");
static_assert(offsetof(PropertyRecord, id) == 8, "PropertyRecord.id");
static_assert(offsetof(PropertyRecord, value) == 32, "PropertyRecord.value");
static_assert(offsetof(PropertyRecord, elements) == 40, "PropertyRecord.elements");

static_assert(sizeof(ItemRecord) == 56, "ItemRecord is 56 bytes");
static_assert(offsetof(ItemRecord, name) == 8, "ItemRecord.name");
static_assert(offsetof(ItemRecord, title) == 16, "ItemRecord.title");
static_assert(offsetof(ItemRecord, ownerSid) == 24, "ItemRecord.ownerSid");
static_assert(offsetof(ItemRecord, driverKey) == 32, "ItemRecord.driverKey");
static_assert(offsetof(ItemRecord, state) == 40, "ItemRecord.state");
static_assert(offsetof(ItemRecord, propertyCount) == 44, "ItemRecord.propertyCount");
static_assert(offsetof(ItemRecord, properties) == 48, "ItemRecord.properties");

static_assert(sizeof(ItemListHeader) == 16, "ItemListHeader is 16 bytes");
static_assert(offsetof(ItemListHeader, count) == 0, "ItemListHeader.count");
static_assert(offsetof(ItemListHeader, items) == 8, "ItemListHeader.items");

static_assert(sizeof(PropertyBlock) == 40, "PropertyBlock is 40 bytes");
static_assert(offsetof(PropertyBlock, settingsName) == 8, "PropertyBlock.settingsName");
static_assert(offsetof(PropertyBlock, accountKey) == 16, "PropertyBlock.accountKey");
static_assert(offsetof(PropertyBlock, count) == 24, "PropertyBlock.count");
static_assert(offsetof(PropertyBlock, properties) == 32, "PropertyBlock.properties");

static_assert(sizeof(AccountBlock) == 32, "AccountBlock is 32 bytes");
static_assert(offsetof(AccountBlock, count) == 16, "AccountBlock.count");
static_assert(offsetof(AccountBlock, properties) == 24, "AccountBlock.properties");

static_assert(sizeof(TransferRequest) == 32, "TransferRequest is 32 bytes");
static_assert(offsetof(TransferRequest, kind) == 0, "TransferRequest.kind");
static_assert(offsetof(TransferRequest, pixelCode) == 4, "TransferRequest.pixelCode");
static_assert(offsetof(TransferRequest, page) == 8, "TransferRequest.page");
static_assert(offsetof(TransferRequest, option) == 12, "TransferRequest.option");
static_assert(offsetof(TransferRequest, value) == 16, "TransferRequest.value");
static_assert(offsetof(TransferRequest, flag) == 20, "TransferRequest.flag");
static_assert(offsetof(TransferRequest, itemName) == 24, "TransferRequest.itemName");

static_assert(PAGE_PROPERTY_COUNT * sizeof(PropertyRecord) == 1584, "page description is 1584 bytes");
