#include "capabilities.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>

// What a capability's value is.
enum class Holds
{
    Fixed,   // always `fallback`
    Setting, // the application's choice among `allowed`, `fallback` until it chose
    Range,   // the application's choice within `allowed` = {minimum, maximum, step}
    Count,   // CAP_XFERCOUNT: -1 (every page) or a count from 1
    Page,    // a property of the current page, or of a default page before one is known
    Pixel,   // the pixel type asked for among `allowed`; as stored until the application asks
    Depth,   // the bit depth of the pixel type delivered
    Device,  // whether the device can be reached
    Size,    // the device's largest page, in the current units
    Frame,   // the page's frame, in the current units; cropping is not offered
    List,    // the source's own lists: capabilities, DG/DAT pairs
};

// A value the application sets that the source cannot take exactly: refused, or the nearest kept
// (TWRC_CHECKSTATUS).
enum class Unmatched
{
    Refuse,
    Nearest
};

struct CapabilityRow
{
    TW_UINT16 cap;
    TW_UINT16 itemType;
    Holds holds;
    TW_UINT32 operations;
    TW_UINT32 fallback;
    std::vector<TW_UINT32> allowed;
    Unmatched unmatched;
};

namespace {

constexpr TW_UINT32 GET_ONLY = TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT;
constexpr TW_UINT32 SETTABLE = GET_ONLY | TWQC_SET | TWQC_RESET;

constexpr TW_UINT32 Fix32Whole(TW_INT16 whole)
{
    return static_cast<TW_UINT16>(whole);
}

// clang-format off
const CapabilityRow ROWS[] = {
    // cap                  item type     holds           operations default           allowed                                                   a value it cannot take
    {CAP_SUPPORTEDCAPS,     TWTY_UINT16, Holds::List,    GET_ONLY, 0,                 {},                                                       Unmatched::Refuse},
    {CAP_SUPPORTEDDATS,     TWTY_UINT32, Holds::List,    GET_ONLY, 0,                 {},                                                       Unmatched::Refuse},
    {CAP_XFERCOUNT,         TWTY_INT16,  Holds::Count,   SETTABLE, 0xFFFF,            {},                                                       Unmatched::Refuse},
    {CAP_UICONTROLLABLE,    TWTY_BOOL,   Holds::Fixed,   GET_ONLY, TRUE,              {},                                                       Unmatched::Refuse},
    {CAP_DEVICEONLINE,      TWTY_BOOL,   Holds::Device,  GET_ONLY, TRUE,              {},                                                       Unmatched::Refuse},
    {CAP_INDICATORS,        TWTY_BOOL,   Holds::Setting, SETTABLE, TRUE,              {FALSE, TRUE},                                            Unmatched::Refuse},
    {CAP_ENABLEDSUIONLY,    TWTY_BOOL,   Holds::Fixed,   GET_ONLY, FALSE,             {},                                                       Unmatched::Refuse},
    {ICAP_COMPRESSION,      TWTY_UINT16, Holds::Setting, SETTABLE, TWCP_NONE,         {TWCP_NONE},                                              Unmatched::Nearest},
    {ICAP_PIXELTYPE,        TWTY_UINT16, Holds::Pixel,   SETTABLE, PIXEL_AS_STORED,   {TWPT_BW, TWPT_GRAY, TWPT_RGB},                           Unmatched::Refuse},
    {ICAP_BITDEPTH,         TWTY_UINT16, Holds::Depth,   SETTABLE, 0,                 {},                                                       Unmatched::Refuse},
    {ICAP_BITORDER,         TWTY_UINT16, Holds::Setting, SETTABLE, TWBO_MSBFIRST,     {TWBO_MSBFIRST},                                          Unmatched::Refuse},
    {ICAP_PLANARCHUNKY,     TWTY_UINT16, Holds::Setting, SETTABLE, TWPC_CHUNKY,       {TWPC_CHUNKY},                                            Unmatched::Refuse},
    {ICAP_PIXELFLAVOR,      TWTY_UINT16, Holds::Setting, SETTABLE, TWPF_CHOCOLATE,    {TWPF_CHOCOLATE, TWPF_VANILLA},                           Unmatched::Refuse},
    {ICAP_UNITS,            TWTY_UINT16, Holds::Setting, SETTABLE, TWUN_INCHES,       {TWUN_INCHES, TWUN_CENTIMETERS, TWUN_POINTS, TWUN_PIXELS}, Unmatched::Refuse},
    {ICAP_XFERMECH,         TWTY_UINT16, Holds::Setting, SETTABLE, TWSX_NATIVE,       {TWSX_NATIVE, TWSX_FILE, TWSX_MEMORY},                    Unmatched::Refuse},
    {ICAP_XRESOLUTION,      TWTY_FIX32,  Holds::Page,    GET_ONLY, Fix32Whole(300),   {},                                                       Unmatched::Refuse},
    {ICAP_YRESOLUTION,      TWTY_FIX32,  Holds::Page,    GET_ONLY, Fix32Whole(300),   {},                                                       Unmatched::Refuse},
    {ICAP_PHYSICALWIDTH,    TWTY_FIX32,  Holds::Size,    GET_ONLY, 0,                 {},                                                       Unmatched::Refuse},
    {ICAP_PHYSICALHEIGHT,   TWTY_FIX32,  Holds::Size,    GET_ONLY, 0,                 {},                                                       Unmatched::Refuse},
    // Stored pages keep their frame: a new one is answered with the whole page.
    {ICAP_FRAMES,           TWTY_FRAME,  Holds::Frame,   SETTABLE, 0,                 {},                                                       Unmatched::Nearest},
    {ICAP_SUPPORTEDSIZES,   TWTY_UINT16, Holds::Setting, SETTABLE, TWSS_NONE,         {TWSS_NONE},                                              Unmatched::Nearest},
    {ICAP_IMAGEFILEFORMAT,  TWTY_UINT16, Holds::Setting, SETTABLE, TWFF_BMP,          {TWFF_BMP, TWFF_TIFF, TWFF_PNG, TWFF_JFIF},               Unmatched::Refuse},
    {ICAP_EXTIMAGEINFO,     TWTY_BOOL,   Holds::Setting, SETTABLE, FALSE,             {FALSE, TRUE},                                            Unmatched::Refuse},
    {ICAP_THRESHOLD,        TWTY_FIX32,  Holds::Range,   SETTABLE, Fix32Whole(128),   {Fix32Whole(0), Fix32Whole(255), Fix32Whole(1)},          Unmatched::Nearest},
};
// clang-format on

const CapabilityRow *Find(TW_UINT16 cap)
{
    for (const CapabilityRow &row : ROWS) {
        if (row.cap == cap)
            return &row;
    }
    return nullptr;
}

double FromFix32(TW_UINT32 bits)
{
    return static_cast<TW_INT16>(bits & 0xFFFF) + static_cast<double>(bits >> 16) / 65536.0;
}

TW_UINT32 ToFix32(double value)
{
    // FIX32 holds -32768 up to just under 32768.
    const double held = value < -32768.0 ? -32768.0 : value > 32767.99998 ? 32767.99998 : value;
    const long long scaled = std::llround(held * 65536.0);
    const TW_INT16 whole = static_cast<TW_INT16>(scaled >> 16);
    return static_cast<TW_UINT16>(whole) | (static_cast<TW_UINT32>(scaled & 0xFFFF) << 16);
}

size_t ItemSize(TW_UINT16 itemType)
{
    switch (itemType) {
    case TWTY_INT32:
    case TWTY_UINT32:
    case TWTY_FIX32:
        return 4;
    case TWTY_FRAME:
        return sizeof(TW_FRAME);
    default:
        return 2;
    }
}

// An item as the container holds it: integers and fixed-point numbers in their width, a frame in
// full.
struct Item
{
    TW_UINT32 value = 0;
    TW_FRAME frame = {};
};

void StoreItem(BYTE *at, TW_UINT16 itemType, const Item &item)
{
    if (itemType == TWTY_FRAME) {
        memcpy(at, &item.frame, sizeof(item.frame));
    } else if (ItemSize(itemType) == 4) {
        memcpy(at, &item.value, 4);
    } else {
        const TW_UINT16 narrow = static_cast<TW_UINT16>(item.value);
        memcpy(at, &narrow, 2);
    }
}

// Allocates a container, fills it and hands it to the capability.
template <typename Fill>
bool MakeContainer(TW_CAPABILITY *capability, TW_UINT16 conType, size_t bytes,
                   const ManagerMemory &memory, Fill fill)
{
    TW_HANDLE handle = memory.Alloc(static_cast<TW_UINT32>(bytes));
    BYTE *data = static_cast<BYTE *>(memory.Lock(handle));
    if (data == nullptr) {
        memory.Free(handle);
        return false;
    }
    memset(data, 0, bytes);
    fill(data);
    memory.Unlock(handle);
    capability->ConType = conType;
    capability->hContainer = handle;
    return true;
}

bool OneValue(TW_CAPABILITY *capability, TW_UINT16 itemType, const Item &item,
              const ManagerMemory &memory)
{
    const size_t bytes = offsetof(TW_ONEVALUE, Item) + ItemSize(itemType);
    return MakeContainer(capability, TWON_ONEVALUE,
                         bytes < sizeof(TW_ONEVALUE) ? sizeof(TW_ONEVALUE) : bytes, memory,
                         [&](BYTE *data) {
                             memcpy(data, &itemType, sizeof(itemType));
                             StoreItem(data + offsetof(TW_ONEVALUE, Item), itemType, item);
                         });
}

bool Enumeration(TW_CAPABILITY *capability, const CapabilityRow &row, TW_UINT32 current,
                 TW_UINT32 fallback, const ManagerMemory &memory)
{
    const size_t itemBytes = ItemSize(row.itemType);
    const size_t bytes = offsetof(TW_ENUMERATION, ItemList) + row.allowed.size() * itemBytes;
    return MakeContainer(capability, TWON_ENUMERATION, bytes, memory, [&](BYTE *data) {
        TW_ENUMERATION head = {};
        head.ItemType = row.itemType;
        head.NumItems = static_cast<TW_UINT32>(row.allowed.size());
        for (size_t i = 0; i < row.allowed.size(); ++i) {
            if (row.allowed[i] == current)
                head.CurrentIndex = static_cast<TW_UINT32>(i);
            if (row.allowed[i] == fallback)
                head.DefaultIndex = static_cast<TW_UINT32>(i);
        }
        memcpy(data, &head, offsetof(TW_ENUMERATION, ItemList));
        for (size_t i = 0; i < row.allowed.size(); ++i)
            StoreItem(data + offsetof(TW_ENUMERATION, ItemList) + i * itemBytes, row.itemType,
                      Item{row.allowed[i], {}});
    });
}

bool Array(TW_CAPABILITY *capability, TW_UINT16 itemType, const std::vector<TW_UINT32> &items,
           const ManagerMemory &memory)
{
    const size_t itemBytes = ItemSize(itemType);
    const size_t bytes = offsetof(TW_ARRAY, ItemList) + items.size() * itemBytes;
    return MakeContainer(capability, TWON_ARRAY, bytes, memory, [&](BYTE *data) {
        TW_ARRAY head = {};
        head.ItemType = itemType;
        head.NumItems = static_cast<TW_UINT32>(items.size());
        memcpy(data, &head, offsetof(TW_ARRAY, ItemList));
        for (size_t i = 0; i < items.size(); ++i)
            StoreItem(data + offsetof(TW_ARRAY, ItemList) + i * itemBytes, itemType,
                      Item{items[i], {}});
    });
}

bool Range(TW_CAPABILITY *capability, const CapabilityRow &row, TW_UINT32 current,
           const ManagerMemory &memory)
{
    return MakeContainer(capability, TWON_RANGE, sizeof(TW_RANGE), memory, [&](BYTE *data) {
        TW_RANGE range = {};
        range.ItemType = row.itemType;
        range.MinValue = row.allowed[0];
        range.MaxValue = row.allowed[1];
        range.StepSize = row.allowed[2];
        range.DefaultValue = row.fallback;
        range.CurrentValue = current;
        memcpy(data, &range, sizeof(range));
    });
}

bool IsInteger(TW_UINT16 itemType)
{
    return itemType == TWTY_INT8 || itemType == TWTY_INT16 || itemType == TWTY_INT32 ||
           itemType == TWTY_UINT8 || itemType == TWTY_UINT16 || itemType == TWTY_UINT32 ||
           itemType == TWTY_BOOL;
}

// The value of an application's one-value container: an integer of any width for an integer
// capability (applications differ in the type they send), a fixed-point number for a
// fixed-point one. Frames are not read: the frame stays the whole page.
bool ReadOneValue(const TW_CAPABILITY &capability, TW_UINT16 itemType, const ManagerMemory &memory,
                  TW_UINT32 *value)
{
    if (capability.ConType != TWON_ONEVALUE || capability.hContainer == nullptr)
        return false;
    const BYTE *data = static_cast<const BYTE *>(memory.Lock(capability.hContainer));
    if (data == nullptr)
        return false;
    TW_ONEVALUE one;
    memcpy(&one, data, sizeof(one));
    memory.Unlock(capability.hContainer);
    if (itemType == TWTY_FRAME)
        return one.ItemType == TWTY_FRAME;
    if (itemType == TWTY_FIX32 ? one.ItemType != TWTY_FIX32 : !IsInteger(one.ItemType))
        return false;
    switch (one.ItemType) {
    case TWTY_INT8:
        *value = static_cast<TW_UINT32>(static_cast<TW_INT8>(one.Item & 0xFF));
        break;
    case TWTY_UINT8:
        *value = one.Item & 0xFF;
        break;
    case TWTY_INT16:
        *value = static_cast<TW_UINT32>(static_cast<TW_INT16>(one.Item & 0xFFFF));
        break;
    case TWTY_UINT16:
    case TWTY_BOOL:
        *value = one.Item & 0xFFFF;
        break;
    default:
        *value = one.Item;
        break;
    }
    return true;
}

// What a page-described capability reports before a page is known.
ImageInfo DefaultPage()
{
    ImageInfo info = {};
    info.xResolutionWhole = 300;
    info.yResolutionWhole = 300;
    info.bitsPerPixel = 24;
    info.pixelType = TWPT_RGB;
    return info;
}

double Dpi(SHORT whole, USHORT frac)
{
    return whole + frac / 65536.0;
}

// Pixels per unit: a resolution in the application's units.
TW_UINT32 Resolution(double dpi, TW_UINT16 units)
{
    return dpi > 0 ? ToFix32(dpi / InUnits(1.0, units, dpi)) : 0;
}

TW_UINT32 PageValue(TW_UINT16 cap, const ImageInfo &page, TW_UINT16 units)
{
    switch (cap) {
    case ICAP_XRESOLUTION:
        return Resolution(Dpi(page.xResolutionWhole, page.xResolutionFrac), units);
    default:
        return Resolution(Dpi(page.yResolutionWhole, page.yResolutionFrac), units);
    }
}

} // namespace

const TW_UINT32 SUPPORTED_DATS[] = {
    (DG_CONTROL << 16) | DAT_CAPABILITY,    (DG_CONTROL << 16) | DAT_EVENT,
    (DG_CONTROL << 16) | DAT_IDENTITY,      (DG_CONTROL << 16) | DAT_PENDINGXFERS,
    (DG_CONTROL << 16) | DAT_SETUPMEMXFER,  (DG_CONTROL << 16) | DAT_SETUPFILEXFER,
    (DG_IMAGE << 16) | DAT_IMAGEFILEXFER,   (DG_CONTROL << 16) | DAT_STATUS,
    (DG_CONTROL << 16) | DAT_USERINTERFACE, (DG_CONTROL << 16) | DAT_XFERGROUP,
    (DG_CONTROL << 16) | DAT_ENTRYPOINT,    (DG_IMAGE << 16) | DAT_IMAGEINFO,
    (DG_IMAGE << 16) | DAT_IMAGELAYOUT,     (DG_IMAGE << 16) | DAT_IMAGEMEMXFER,
    (DG_IMAGE << 16) | DAT_IMAGENATIVEXFER, (DG_IMAGE << 16) | DAT_EXTIMAGEINFO,
};
const size_t SUPPORTED_DAT_COUNT = sizeof(SUPPORTED_DATS) / sizeof(SUPPORTED_DATS[0]);

// The whole page, or the device's largest one before a page is known, in the application's units.
TW_FRAME PageFrame(const ImageInfo *page, TW_UINT16 units)
{
    const ImageInfo &described = page != nullptr ? *page : DefaultPage();
    const double xDpi = Dpi(described.xResolutionWhole, described.xResolutionFrac);
    const double yDpi = Dpi(described.yResolutionWhole, described.yResolutionFrac);
    const bool known = page != nullptr && xDpi > 0 && yDpi > 0;
    const TW_UINT32 right =
        ToFix32(InUnits(known ? described.imageWidth / xDpi : DEVICE_WIDTH_INCHES, units, xDpi));
    const TW_UINT32 bottom =
        ToFix32(InUnits(known ? described.imageLength / yDpi : DEVICE_HEIGHT_INCHES, units, yDpi));
    TW_FRAME frame = {};
    memcpy(&frame.Right, &right, sizeof(right));
    memcpy(&frame.Bottom, &bottom, sizeof(bottom));
    return frame;
}

double InUnits(double inches, TW_UINT16 units, double dpi)
{
    switch (units) {
    case TWUN_CENTIMETERS:
        return inches * 2.54;
    case TWUN_POINTS:
        return inches * 72.0;
    case TWUN_PIXELS:
        return inches * dpi;
    default:
        return inches;
    }
}

Capabilities::Capabilities()
{
    for (const CapabilityRow &row : ROWS) {
        if ((row.operations & TWQC_SET) != 0)
            m_values[row.cap] = row.fallback;
    }
}

TW_UINT16 Capabilities::DeliveredPixelType(const ImageInfo &page) const
{
    const TW_UINT16 asked = AskedPixelType();
    return asked != PIXEL_AS_STORED ? asked : static_cast<TW_UINT16>(page.pixelType);
}

WORD Capabilities::DeliveredDepth(const ImageInfo &page) const
{
    switch (AskedPixelType()) {
    case TWPT_BW:
        return 1;
    case TWPT_GRAY:
        return 8;
    case TWPT_RGB:
        return 24;
    default:
        return static_cast<WORD>(page.bitsPerPixel);
    }
}

BYTE Capabilities::Threshold() const
{
    const double threshold = FromFix32(Current(ICAP_THRESHOLD));
    return static_cast<BYTE>(threshold < 0 ? 0 : threshold > 255 ? 255 : std::lround(threshold));
}

TW_UINT32 Capabilities::Current(TW_UINT16 cap) const
{
    const auto found = m_values.find(cap);
    return found != m_values.end() ? found->second : 0;
}

TwainResult Capabilities::Handle(TW_UINT16 msg, TW_CAPABILITY *capability, int state,
                                 const ImageInfo *page, const ManagerMemory &memory)
{
    const bool change = msg == MSG_SET || msg == MSG_RESET || msg == MSG_RESETALL;
    // Negotiation ends when the source is enabled.
    if (change && state != 4)
        return Failure(TWCC_SEQERROR);
    if (msg == MSG_RESETALL) {
        Reset();
        return {};
    }
    if (capability == nullptr)
        return Failure(TWCC_BADVALUE);
    const CapabilityRow *row = Find(capability->Cap);
    if (row == nullptr)
        return Failure(TWCC_CAPUNSUPPORTED);
    if (msg == MSG_QUERYSUPPORT)
        return OneValue(capability, TWTY_INT32, Item{row->operations, {}}, memory)
                   ? TwainResult{}
                   : Failure(TWCC_LOWMEMORY);
    const TW_UINT32 asked = msg == MSG_GET          ? TWQC_GET
                            : msg == MSG_GETCURRENT ? TWQC_GETCURRENT
                            : msg == MSG_GETDEFAULT ? TWQC_GETDEFAULT
                            : msg == MSG_SET        ? TWQC_SET
                                                    : TWQC_RESET;
    if ((row->operations & asked) == 0)
        return Failure(TWCC_CAPBADOPERATION);

    // The application's container stays its own: MSG_GETCURRENT tells what a MSG_SET left.
    if (msg == MSG_SET) {
        TW_UINT32 value = 0;
        if (!ReadOneValue(*capability, row->itemType, memory, &value))
            return Failure(TWCC_BADVALUE);
        return Set(*row, value, page != nullptr ? *page : DefaultPage());
    }
    // MSG_RESET answers with the value now current.
    if (msg == MSG_RESET) {
        if (m_values.count(row->cap) != 0)
            m_values[row->cap] = row->fallback;
        msg = MSG_GETCURRENT;
    }
    const bool made = Get(*row, msg, capability, page != nullptr ? *page : DefaultPage(),
                          page != nullptr, memory);
    return made ? TwainResult{} : Failure(TWCC_LOWMEMORY);
}

TwainResult Capabilities::Set(const CapabilityRow &row, TW_UINT32 value, const ImageInfo &page)
{
    switch (row.holds) {
    case Holds::Depth:
        // The depth goes with the pixel type: only the one it has is taken.
        return value == DeliveredDepth(page) ? TwainResult{} : Failure(TWCC_BADVALUE);
    case Holds::Count: {
        const TW_INT16 count = static_cast<TW_INT16>(value);
        if (count == 0 || count < -1)
            return Failure(TWCC_BADVALUE);
        m_values[row.cap] = static_cast<TW_UINT16>(count);
        return {};
    }
    case Holds::Range: {
        const double low = FromFix32(row.allowed[0]);
        const double high = FromFix32(row.allowed[1]);
        const double step = FromFix32(row.allowed[2]);
        const double asked = FromFix32(value);
        double nearest = low + std::round((asked - low) / step) * step;
        nearest = nearest < low ? low : nearest > high ? high : nearest;
        m_values[row.cap] = ToFix32(nearest);
        return nearest == asked ? TwainResult{} : CHECK_STATUS;
    }
    case Holds::Frame:
        // Stored pages keep their frame: the whole page stays.
        return CHECK_STATUS;
    default:
        break;
    }
    if (row.itemType == TWTY_BOOL)
        value = value != 0 ? TRUE : FALSE;
    for (TW_UINT32 allowed : row.allowed) {
        if (allowed == value) {
            m_values[row.cap] = value;
            return {};
        }
    }
    // The value the source can give stays.
    return row.unmatched == Unmatched::Nearest ? CHECK_STATUS : Failure(TWCC_BADVALUE);
}

bool Capabilities::Get(const CapabilityRow &row, TW_UINT16 msg, TW_CAPABILITY *capability,
                       const ImageInfo &page, bool pageKnown, const ManagerMemory &memory) const
{
    const bool fallback = msg == MSG_GETDEFAULT;
    const bool list = msg == MSG_GET;
    // Every value in the units the application set, the default ones too.
    const TW_UINT16 units = Units();
    const TW_UINT32 current = fallback ? row.fallback : Current(row.cap);
    switch (row.holds) {
    case Holds::List: {
        std::vector<TW_UINT32> items;
        if (row.cap == CAP_SUPPORTEDCAPS) {
            for (const CapabilityRow &each : ROWS)
                items.push_back(each.cap);
        } else {
            items.assign(SUPPORTED_DATS, SUPPORTED_DATS + SUPPORTED_DAT_COUNT);
        }
        return Array(capability, row.itemType, items, memory);
    }
    case Holds::Fixed:
        return OneValue(capability, row.itemType, Item{row.fallback, {}}, memory);
    case Holds::Device:
        return OneValue(capability, row.itemType,
                        Item{m_deviceOnline ? TW_UINT32{TRUE} : TW_UINT32{FALSE}, {}}, memory);
    case Holds::Count:
        return OneValue(capability, row.itemType, Item{current, {}}, memory);
    case Holds::Setting:
        return list ? Enumeration(capability, row, current, row.fallback, memory)
                    : OneValue(capability, row.itemType, Item{current, {}}, memory);
    case Holds::Range:
        return list ? Range(capability, row, current, memory)
                    : OneValue(capability, row.itemType, Item{current, {}}, memory);
    case Holds::Pixel: {
        const TW_UINT32 delivered = fallback ? TWPT_RGB : DeliveredPixelType(page);
        return list ? Enumeration(capability, row, delivered, TWPT_RGB, memory)
                    : OneValue(capability, row.itemType, Item{delivered, {}}, memory);
    }
    case Holds::Depth:
        return OneValue(capability, row.itemType,
                        Item{fallback ? 24u : static_cast<TW_UINT32>(DeliveredDepth(page)), {}},
                        memory);
    case Holds::Page:
        return OneValue(capability, row.itemType,
                        Item{PageValue(row.cap, fallback ? DefaultPage() : page, units), {}},
                        memory);
    case Holds::Size: {
        const double inches =
            row.cap == ICAP_PHYSICALWIDTH ? DEVICE_WIDTH_INCHES : DEVICE_HEIGHT_INCHES;
        const double dpi = row.cap == ICAP_PHYSICALWIDTH
                               ? Dpi(page.xResolutionWhole, page.xResolutionFrac)
                               : Dpi(page.yResolutionWhole, page.yResolutionFrac);
        return OneValue(capability, row.itemType, Item{ToFix32(InUnits(inches, units, dpi)), {}},
                        memory);
    }
    case Holds::Frame:
        return OneValue(capability, row.itemType,
                        Item{0, PageFrame(pageKnown && !fallback ? &page : nullptr, units)},
                        memory);
    }
    return false;
}
