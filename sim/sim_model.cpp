// Builders of the world's definitions: properties, items, accounts and devices with the
// record sets a real device would report.
#include "sim_sti.h"

SimProperty SimIntProperty(DWORD id, LONG value)
{
    SimProperty property;
    property.id = id;
    property.kind = SimProperty::Integer;
    property.value = value;
    return property;
}

SimProperty SimTextProperty(DWORD id, const wchar_t *text)
{
    SimProperty property;
    property.id = id;
    property.kind = SimProperty::Text;
    property.nullText = text == nullptr;
    if (text != nullptr)
        property.text = text;
    return property;
}

SimProperty SimTimeProperty(const SYSTEMTIME &time, LONG elementCount)
{
    SimProperty property;
    property.id = PROP_ITEM_TIME;
    property.kind = SimProperty::Time;
    property.value = elementCount;
    const WORD words[8] = {time.wYear, time.wMonth, time.wDayOfWeek, time.wDay,
                           time.wHour, time.wMinute, time.wSecond, time.wMilliseconds};
    for (int i = 0; i < 8; ++i)
        property.time[i] = words[i];
    return property;
}

LONG SimDataTypeOfDepth(LONG depth)
{
    if (depth == 1)
        return 0;
    if (depth == 8 || depth == 16)
        return 2;
    return 3;
}

std::vector<SimProperty> SimStandardItemProperties(const SimItem &item)
{
    const SimPageGeometry first = SimGetPageGeometry(item, 1);
    const LONG size = first.dataBytes > 0x7FFFFFFFull ? 0x7FFFFFFF
                                                      : static_cast<LONG>(first.dataBytes);
    return {
        SimIntProperty(PROP_PAGES, item.pages),
        SimTimeProperty(item.time),
        SimIntProperty(PROP_DATATYPE, SimDataTypeOfDepth(item.depth)),
        SimIntProperty(PROP_DEPTH, item.depth),
        SimIntProperty(PROP_COMPRESSION, 0),
        SimIntProperty(PROP_PLANAR, 0),
        SimIntProperty(PROP_PIXELS_PER_LINE, item.width),
        SimIntProperty(PROP_NUMBER_OF_LINES, item.height),
        SimIntProperty(PROP_ITEM_SIZE, size),
        SimIntProperty(PROP_XRES, item.resolutionCode),
        SimIntProperty(PROP_FORMAT, item.format),
    };
}

SimItem SimMakeItem(const wchar_t *name, const wchar_t *title, const wchar_t *ownerSid,
                    const wchar_t *driverKey, LONG pages, LONG width, LONG height, LONG depth)
{
    SimItem item;
    item.name = name != nullptr ? name : L"";
    item.title = title != nullptr ? title : L"";
    item.ownerSid = ownerSid != nullptr ? ownerSid : L"";
    item.driverKey = driverKey != nullptr ? driverKey : L"";
    item.pages = pages;
    item.width = width;
    item.height = height;
    item.depth = depth;
    item.properties = SimStandardItemProperties(item);
    return item;
}

std::vector<SimProperty> SimStandardSettings()
{
    return {
        SimIntProperty(PROP_DATATYPE, 3),
        SimIntProperty(PROP_PAPER_SIZE, 10),
        SimIntProperty(PROP_XRES, 2),
        SimIntProperty(PROP_FORMAT, 1),
        SimIntProperty(PROP_SETTING_FLAG, 0),
        SimIntProperty(PROP_FIXED_38920, 1),
        SimIntProperty(PROP_FIXED_38936, 1),
        SimIntProperty(PROP_FIXED_38938, 0),
        SimIntProperty(PROP_FIXED_38949, 1),
        SimIntProperty(PROP_FIXED_38953, 1),
    };
}

std::vector<SimProperty> SimStandardCapabilities()
{
    return {
        SimIntProperty(PROP_DATATYPE, 3),
        SimIntProperty(PROP_XRES, 4),
        SimIntProperty(PROP_PAPER_SIZE, 12),
        SimIntProperty(PROP_EXTENDED_CAPABILITY, 1),
    };
}

std::vector<SimProperty> SimStandardAccountRecords()
{
    // The PIN record is not the first one, so a reader has to look for it.
    return {
        SimIntProperty(38945, 1),
        SimTextProperty(PROP_PIN, L""),
        SimIntProperty(38947, 0),
    };
}

SimAccount SimMakeAccount(const wchar_t *key)
{
    SimAccount account;
    account.key = key != nullptr ? key : L"";
    account.accountRecords = SimStandardAccountRecords();
    account.settingsName = L"Default";
    account.settings = SimStandardSettings();
    return account;
}

SimDevice SimMakeDevice(const wchar_t *internalName, const wchar_t *description,
                        const wchar_t *localName)
{
    SimDevice device;
    device.internalName = internalName != nullptr ? internalName : L"";
    device.description = description != nullptr ? description : L"";
    device.localName = localName != nullptr ? localName : L"";
    device.userDataKey = L"Software\\Orvane\\Scanner\\" + device.localName;
    device.capabilities = SimStandardCapabilities();
    device.defaultSettings = SimStandardSettings();
    return device;
}
