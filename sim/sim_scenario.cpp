// Scenario files: a line-based description of devices, accounts, items and scripted failures.
// The format is described in SCENARIO.md.
#include "sim_sti.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cwchar>
#include <cwctype>

namespace {

// Limits that keep a scenario from asking for absurd pages.
constexpr LONG MAX_PAGES = 100000;
constexpr LONG MAX_DIMENSION = 1000000;
constexpr LONG MAX_DEPTH = 32;
constexpr LONGLONG MAX_SCENARIO_BYTES = 16 << 20;

struct ItemInProgress
{
    SimItem item;
    bool standard = true;          // standard properties of the geometry come first
    std::vector<SimProperty> extra;
};

class Parser
{
public:
    Parser(const char *source, std::vector<SimDevice> *devices,
           std::vector<SimInjection> *injections)
        : m_source(source != nullptr ? source : "scenario"), m_devices(devices),
          m_injections(injections)
    {
    }

    bool Parse(const std::string &text, std::string *error);

private:
    bool Line(std::wstring line);
    bool Fail(const std::string &message);
    bool CloseItem();
    bool CloseAccount();
    bool CloseDevice();

    bool DeviceKeyword(const std::wstring &keyword, const std::wstring &rest);
    bool AccountKeyword(const std::wstring &keyword, const std::wstring &rest);
    bool ItemKeyword(const std::wstring &keyword, const std::wstring &rest);
    bool FailKeyword(const std::wstring &rest);

    bool Number(const std::wstring &text, LONG minimum, LONG maximum, LONG *value);
    bool Property(const std::wstring &rest, SimProperty *property);
    bool PropertyValue(DWORD id, const std::wstring &text, SimProperty *property);
    bool Time(const std::wstring &text, SYSTEMTIME *time);
    bool Assignment(const std::wstring &rest, std::wstring *left, std::wstring *right);

    std::string m_source;
    std::vector<SimDevice> *m_devices;
    std::vector<SimInjection> *m_injections;
    std::string *m_error = nullptr;
    size_t m_line = 0;

    bool m_inDevice = false;
    SimDevice m_device;
    bool m_customCapabilities = false;
    bool m_inAccount = false;
    SimAccount m_account;
    bool m_customSettings = false;
    bool m_customRecords = false;
    bool m_inItem = false;
    ItemInProgress m_item;
};

std::wstring Trim(const std::wstring &text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && iswspace(text[begin]))
        ++begin;
    while (end > begin && iswspace(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

std::wstring Lower(std::wstring text)
{
    for (wchar_t &c : text)
        c = static_cast<wchar_t>(towlower(c));
    return text;
}

// Splits the first blank-separated word off.
void SplitWord(const std::wstring &text, std::wstring *word, std::wstring *rest)
{
    size_t end = 0;
    while (end < text.size() && !iswspace(text[end]))
        ++end;
    *word = text.substr(0, end);
    *rest = Trim(text.substr(end));
}

std::vector<std::wstring> Words(const std::wstring &text)
{
    std::vector<std::wstring> words;
    std::wstring rest = Trim(text);
    while (!rest.empty()) {
        std::wstring word;
        SplitWord(rest, &word, &rest);
        words.push_back(word);
    }
    return words;
}

std::string Narrow(const std::wstring &text)
{
    std::string narrow;
    for (wchar_t c : text)
        narrow += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    return narrow;
}

bool Parser::Fail(const std::string &message)
{
    if (m_error != nullptr)
        *m_error = m_source + ":" + std::to_string(m_line) + ": " + message;
    return false;
}

bool Parser::Number(const std::wstring &text, LONG minimum, LONG maximum, LONG *value)
{
    if (text.empty())
        return Fail("a number is missing");
    errno = 0;
    wchar_t *end = nullptr;
    const long long parsed = wcstoll(text.c_str(), &end, 0);
    if (end == text.c_str() || *end != L'\0')
        return Fail("'" + Narrow(text) + "' is not a number");
    if (errno == ERANGE || parsed < minimum || parsed > maximum)
        return Fail("'" + Narrow(text) + "' is out of range " + std::to_string(minimum) + " to " +
                    std::to_string(maximum));
    *value = static_cast<LONG>(parsed);
    return true;
}

bool Parser::Assignment(const std::wstring &rest, std::wstring *left, std::wstring *right)
{
    const size_t equals = rest.find(L'=');
    if (equals == std::wstring::npos)
        return Fail("'=' expected");
    *left = Trim(rest.substr(0, equals));
    *right = Trim(rest.substr(equals + 1));
    if (left->empty())
        return Fail("a name is missing before '='");
    if (right->empty())
        return Fail("a value is missing after '='");
    return true;
}

bool Parser::Time(const std::wstring &text, SYSTEMTIME *time)
{
    // YYYY-MM-DD hh:mm:ss, optionally followed by .mmm
    static const wchar_t PATTERN[] = L"dddd-dd-dd dd:dd:dd";
    const size_t length = sizeof(PATTERN) / sizeof(PATTERN[0]) - 1;
    const bool millis = text.size() == length + 4 && text[length] == L'.';
    if (text.size() != length && !millis)
        return Fail("a time is written YYYY-MM-DD hh:mm:ss[.mmm]");
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t expected = i < length ? PATTERN[i] : (i == length ? L'.' : L'd');
        const bool digit = text[i] >= L'0' && text[i] <= L'9';
        const bool ok = expected == L'd' ? digit : text[i] == expected;
        if (!ok)
            return Fail("a time is written YYYY-MM-DD hh:mm:ss[.mmm]");
    }
    const auto field = [&text](size_t at, size_t digits) {
        WORD value = 0;
        for (size_t i = 0; i < digits; ++i)
            value = static_cast<WORD>(value * 10 + (text[at + i] - L'0'));
        return value;
    };
    SYSTEMTIME parsed = {};
    parsed.wYear = field(0, 4);
    parsed.wMonth = field(5, 2);
    parsed.wDay = field(8, 2);
    parsed.wHour = field(11, 2);
    parsed.wMinute = field(14, 2);
    parsed.wSecond = field(17, 2);
    parsed.wMilliseconds = millis ? field(20, 3) : 0;
    // A round trip through FILETIME rejects impossible dates and fills in the day of the week.
    FILETIME file;
    if (!SystemTimeToFileTime(&parsed, &file) || !FileTimeToSystemTime(&file, time))
        return Fail("'" + Narrow(text) + "' is not a valid time");
    return true;
}

bool Parser::PropertyValue(DWORD id, const std::wstring &text, SimProperty *property)
{
    if (text == L"null") {
        *property = SimTextProperty(id, nullptr);
        return true;
    }
    if (!text.empty() && text[0] == L'"') {
        std::wstring value;
        size_t i = 1;
        for (; i < text.size() && text[i] != L'"'; ++i) {
            if (text[i] == L'\\' && i + 1 < text.size())
                ++i;
            value += text[i];
        }
        if (i >= text.size() || i + 1 != text.size())
            return Fail("a text value is one quoted string");
        *property = SimTextProperty(id, value.c_str());
        return true;
    }
    std::wstring word, rest;
    SplitWord(text, &word, &rest);
    if (Lower(word) == L"time") {
        // time <date> <clock> [count N] or time none [count N]
        LONG count = 1;
        const size_t countAt = rest.find(L"count");
        std::wstring when = Trim(rest.substr(0, countAt));
        if (countAt != std::wstring::npos &&
            !Number(Trim(rest.substr(countAt + 5)), 0, 0x7FFFFFFF, &count))
            return false;
        SYSTEMTIME time = {};
        const bool none = Lower(when) == L"none";
        if (!none && !Time(when, &time))
            return false;
        *property = SimTimeProperty(time, count);
        property->id = id;
        property->nullElements = none;
        return true;
    }
    LONG value = 0;
    if (!Number(text, LONG_MIN, LONG_MAX, &value))
        return false;
    *property = SimIntProperty(id, value);
    return true;
}

bool Parser::Property(const std::wstring &rest, SimProperty *property)
{
    std::wstring left, right;
    if (!Assignment(rest, &left, &right))
        return false;
    LONG id = 0;
    if (!Number(left, 0, LONG_MAX, &id))
        return false;
    return PropertyValue(static_cast<DWORD>(id), right, property);
}

bool Parser::CloseItem()
{
    if (!m_inItem)
        return true;
    m_inItem = false;
    SimItem &item = m_item.item;
    if (m_item.standard)
        item.properties = SimStandardItemProperties(item);
    item.properties.insert(item.properties.end(), m_item.extra.begin(), m_item.extra.end());
    m_account.items.push_back(item);
    return true;
}

bool Parser::CloseAccount()
{
    CloseItem();
    if (!m_inAccount)
        return true;
    m_inAccount = false;
    m_device.accounts.push_back(m_account);
    return true;
}

bool Parser::CloseDevice()
{
    CloseAccount();
    if (!m_inDevice)
        return true;
    m_inDevice = false;
    m_devices->push_back(m_device);
    return true;
}

bool Parser::DeviceKeyword(const std::wstring &keyword, const std::wstring &rest)
{
    SimDevice &device = m_device;
    if (rest.empty() && keyword != L"description" && keyword != L"local" &&
        keyword != L"selected")
        return Fail("'" + Narrow(keyword) + "' needs a value");
    if (keyword == L"description") {
        device.description = rest;
    } else if (keyword == L"local") {
        device.localName = rest;
    } else if (keyword == L"vendor") {
        device.vendor = rest;
    } else if (keyword == L"port") {
        device.portName = rest;
    } else if (keyword == L"provider") {
        device.propProvider = rest;
    } else if (keyword == L"type") {
        LONG type = 0;
        if (!Number(rest, 0, 0xFFFF, &type))
            return false;
        device.deviceType = static_cast<DWORD>(type) << 16;
    } else if (keyword == L"userdatakey") {
        device.userDataKey = rest;
    } else if (keyword == L"value") {
        std::wstring name, text;
        if (!Assignment(rest, &name, &text))
            return false;
        device.values.emplace_back(name, text);
    } else if (keyword == L"launch") {
        const std::wstring answer = Lower(rest);
        if (answer != L"yes" && answer != L"no")
            return Fail("launch is yes or no");
        device.launch = answer == L"yes";
    } else if (keyword == L"filingpath") {
        device.filingPath = rest;
    } else if (keyword == L"userpin") {
        device.hasUserPin = true;
        device.userPin = rest;
    } else if (keyword == L"selected") {
        device.selectedItem = rest;
    } else if (keyword == L"capabilities") {
        const std::wstring choice = Lower(rest);
        if (choice != L"standard" && choice != L"empty")
            return Fail("capabilities is standard or empty");
        device.capabilities = choice == L"standard" ? SimStandardCapabilities()
                                                     : std::vector<SimProperty>();
        m_customCapabilities = true;
    } else if (keyword == L"capability") {
        SimProperty property;
        if (!Property(rest, &property))
            return false;
        if (!m_customCapabilities)
            device.capabilities.clear();
        m_customCapabilities = true;
        device.capabilities.push_back(property);
    } else {
        return Fail("'" + Narrow(keyword) + "' is not a device keyword");
    }
    return true;
}

bool Parser::AccountKeyword(const std::wstring &keyword, const std::wstring &rest)
{
    SimAccount &account = m_account;
    if (keyword == L"pin") {
        account.checkPin = true;
        account.pin = rest;
    } else if (keyword == L"settingsname") {
        account.settingsName = rest;
    } else if (keyword == L"settings" || keyword == L"records") {
        const std::wstring choice = Lower(rest);
        if (choice != L"standard" && choice != L"empty")
            return Fail("'" + Narrow(keyword) + "' is standard or empty");
        if (keyword == L"settings") {
            account.settings = choice == L"standard" ? SimStandardSettings()
                                                      : std::vector<SimProperty>();
            m_customSettings = true;
        } else {
            account.accountRecords = choice == L"standard" ? SimStandardAccountRecords()
                                                            : std::vector<SimProperty>();
            m_customRecords = true;
        }
    } else if (keyword == L"setting" || keyword == L"record") {
        SimProperty property;
        if (!Property(rest, &property))
            return false;
        const bool settings = keyword == L"setting";
        bool &custom = settings ? m_customSettings : m_customRecords;
        std::vector<SimProperty> &target = settings ? account.settings : account.accountRecords;
        if (!custom)
            target.clear();
        custom = true;
        target.push_back(property);
    } else {
        return Fail("'" + Narrow(keyword) + "' is not an account keyword");
    }
    return true;
}

bool Parser::ItemKeyword(const std::wstring &keyword, const std::wstring &rest)
{
    SimItem &item = m_item.item;
    if (keyword == L"title") {
        item.title = rest;
    } else if (keyword == L"owner") {
        item.ownerSid = rest;
    } else if (keyword == L"key") {
        item.driverKey = rest;
    } else if (keyword == L"state") {
        const std::wstring state = Lower(rest);
        LONG value = 0;
        if (state == L"ready")
            value = ITEM_STATE_READY;
        else if (state == L"busy")
            value = 1;
        else if (!Number(rest, 0, LONG_MAX, &value))
            return false;
        item.state = static_cast<DWORD>(value);
    } else if (keyword == L"pages") {
        if (!Number(rest, 1, MAX_PAGES, &item.pages))
            return false;
    } else if (keyword == L"size") {
        // <width>x<height>x<depth>
        std::wstring parts[3];
        size_t part = 0;
        for (wchar_t c : rest) {
            if (c == L'x' || c == L'X') {
                if (++part > 2)
                    return Fail("size is <width>x<height>x<depth>");
            } else {
                parts[part] += c;
            }
        }
        if (part != 2)
            return Fail("size is <width>x<height>x<depth>");
        if (!Number(Trim(parts[0]), 1, MAX_DIMENSION, &item.width) ||
            !Number(Trim(parts[1]), 1, MAX_DIMENSION, &item.height) ||
            !Number(Trim(parts[2]), 1, MAX_DEPTH, &item.depth))
            return false;
    } else if (keyword == L"resolution") {
        if (!Number(rest, LONG_MIN, LONG_MAX, &item.resolutionCode))
            return false;
    } else if (keyword == L"format") {
        if (!Number(rest, LONG_MIN, LONG_MAX, &item.format))
            return false;
    } else if (keyword == L"time") {
        if (!Time(rest, &item.time))
            return false;
    } else if (keyword == L"properties") {
        const std::wstring choice = Lower(rest);
        if (choice != L"standard" && choice != L"explicit")
            return Fail("properties is standard or explicit");
        m_item.standard = choice == L"standard";
    } else if (keyword == L"nullproperties") {
        item.nullProperties = true;
    } else if (keyword == L"property") {
        SimProperty property;
        if (!Property(rest, &property))
            return false;
        m_item.extra.push_back(property);
    } else if (keyword == L"page") {
        // page <n> <id> = <value>, or page <n> remove <id>
        std::wstring number, tail;
        SplitWord(rest, &number, &tail);
        SimPageProperty property;
        if (!Number(number, 1, MAX_PAGES, &property.page))
            return false;
        std::wstring word, after;
        SplitWord(tail, &word, &after);
        LONG id = 0;
        if (Lower(word) == L"remove") {
            if (!Number(after, 0, LONG_MAX, &id))
                return false;
            property.remove = true;
        } else {
            std::wstring left, right;
            if (!Assignment(tail, &left, &right) || !Number(left, 0, LONG_MAX, &id) ||
                !Number(right, LONG_MIN, LONG_MAX, &property.value))
                return false;
        }
        property.id = static_cast<DWORD>(id);
        item.pageProperties.push_back(property);
    } else if (keyword == L"header") {
        // header 40|124 [rgb|rle8|bitfields] [topdown] [sizeimage] [inverted] [colours=<n>]
        const std::vector<std::wstring> words = Words(Lower(rest));
        if (words.empty())
            return Fail("header needs a size, 40 or 124");
        if (words[0] == L"40")
            item.header.size = 40;
        else if (words[0] == L"124")
            item.header.size = 124;
        else
            return Fail("header size is 40 or 124");
        for (size_t i = 1; i < words.size(); ++i) {
            if (words[i] == L"rgb")
                item.header.compression = BI_RGB;
            else if (words[i] == L"rle8")
                item.header.compression = BI_RLE8;
            else if (words[i] == L"bitfields")
                item.header.compression = BI_BITFIELDS;
            else if (words[i] == L"topdown")
                item.header.topDown = true;
            else if (words[i] == L"sizeimage")
                item.header.fillSizeImage = true;
            else if (words[i] == L"inverted")
                item.header.invertedPalette = true;
            else if (words[i].rfind(L"colours=", 0) == 0) {
                LONG colours = 0;
                if (!Number(words[i].substr(8), 1, LONG_MAX, &colours))
                    return false;
                item.header.coloursUsed = static_cast<DWORD>(colours);
            } else
                return Fail("'" + Narrow(words[i]) + "' is not a header option");
        }
    } else {
        return Fail("'" + Narrow(keyword) + "' is not an item keyword");
    }
    return true;
}

bool Parser::FailKeyword(const std::wstring &rest)
{
    static const struct
    {
        const wchar_t *name;
        SimPoint point;
    } POINTS[] = {
        {L"createinstance", SimPoint::CreateInstance},
        {L"initialize", SimPoint::Initialize},
        {L"launchinfo", SimPoint::GetLaunchInformation},
        {L"devicelist", SimPoint::GetDeviceList},
        {L"deviceinfo", SimPoint::GetDeviceInfo},
        {L"createdevice", SimPoint::CreateDevice},
        {L"devicevalue", SimPoint::GetDeviceValue},
        {L"lock", SimPoint::LockDevice},
        {L"unlock", SimPoint::UnLockDevice},
        {L"getlasterror", SimPoint::GetLastError},
        {L"escape", SimPoint::Escape},
    };
    const std::vector<std::wstring> words = Words(rest);
    if (words.empty())
        return Fail("fail needs a call: escape, lock, unlock, createdevice, ...");
    SimInjection injection;
    bool known = false;
    for (const auto &entry : POINTS) {
        if (Lower(words[0]) == entry.name) {
            injection.point = entry.point;
            known = true;
        }
    }
    if (!known)
        return Fail("'" + Narrow(words[0]) + "' is not a call that can fail");
    size_t next = 1;
    if (injection.point == SimPoint::Escape) {
        if (words.size() < 2)
            return Fail("fail escape needs an escape code");
        LONG code = 0;
        if (!Number(words[1], 0, LONG_MAX, &code))
            return false;
        injection.escapeCode = static_cast<DWORD>(code);
        next = 2;
    }
    for (size_t i = next; i < words.size(); ++i) {
        const std::wstring word = Lower(words[i]);
        const size_t equals = word.find(L'=');
        const std::wstring name = word.substr(0, equals);
        const std::wstring value = equals == std::wstring::npos ? L"" : word.substr(equals + 1);
        LONG number = 0;
        if (name == L"perform" && equals == std::wstring::npos) {
            injection.perform = true;
            continue;
        }
        if (equals == std::wstring::npos)
            return Fail("'" + Narrow(word) + "' is not a failure option");
        if (name == L"result") {
            // HRESULTs are written in hex; read them as unsigned 32-bit.
            errno = 0;
            wchar_t *end = nullptr;
            const unsigned long long parsed = wcstoull(value.c_str(), &end, 0);
            if (value.empty() || *end != L'\0' || errno == ERANGE || parsed > 0xFFFFFFFFull)
                return Fail("'" + Narrow(value) + "' is not an HRESULT");
            injection.result = static_cast<HRESULT>(static_cast<unsigned long>(parsed));
        } else if (name == L"actual") {
            if (!Number(value, 0, LONG_MAX, &number))
                return false;
            injection.setActual = true;
            injection.actual = static_cast<DWORD>(number);
        } else if (name == L"call") {
            if (!Number(value, 1, LONG_MAX, &number))
                return false;
            injection.firstCall = static_cast<unsigned>(number);
        } else if (name == L"times") {
            if (!Number(value, 1, LONG_MAX, &number))
                return false;
            injection.count = static_cast<unsigned>(number);
        } else if (name == L"kind") {
            if (!Number(value, LONG_MIN, LONG_MAX, &number))
                return false;
            injection.transferKind = number;
        } else {
            return Fail("'" + Narrow(name) + "' is not a failure option");
        }
    }
    m_injections->push_back(injection);
    return true;
}

bool Parser::Line(std::wstring line)
{
    line = Trim(line);
    if (line.empty() || line[0] == L'#')
        return true;
    std::wstring keyword, rest;
    SplitWord(line, &keyword, &rest);
    keyword = Lower(keyword);

    if (keyword == L"device") {
        CloseDevice();
        if (rest.empty())
            return Fail("device needs an internal name");
        if (rest.size() >= STI_MAX_INTERNAL_NAME_LENGTH)
            return Fail("a device internal name has at most 127 characters");
        for (const SimDevice &device : *m_devices) {
            if (lstrcmpiW(device.internalName.c_str(), rest.c_str()) == 0)
                return Fail("device '" + Narrow(rest) + "' is described twice");
        }
        m_device = SimMakeDevice(rest.c_str(), L"", L"");
        m_device.userDataKey.clear();
        m_customCapabilities = false;
        m_inDevice = true;
        return true;
    }
    if (keyword == L"account") {
        if (!m_inDevice)
            return Fail("account outside a device");
        CloseAccount();
        if (rest.empty())
            return Fail("account needs a key");
        for (const SimAccount &account : m_device.accounts) {
            if (account.key == rest)
                return Fail("account '" + Narrow(rest) + "' is described twice");
        }
        m_account = SimMakeAccount(rest.c_str());
        m_customSettings = false;
        m_customRecords = false;
        m_inAccount = true;
        return true;
    }
    if (keyword == L"item" || keyword == L"nullitem") {
        if (!m_inAccount)
            return Fail(Narrow(keyword) + " outside an account");
        CloseItem();
        m_item = ItemInProgress();
        if (keyword == L"nullitem") {
            if (!rest.empty())
                return Fail("nullitem takes no name");
            m_item.item.nullEntry = true;
            m_inItem = true;
            return CloseItem();
        }
        if (rest.empty())
            return Fail("item needs a name");
        m_item.item.name = rest;
        m_item.item.title = rest;
        m_inItem = true;
        return true;
    }
    if (keyword == L"fail")
        return FailKeyword(rest);

    if (m_inItem)
        return ItemKeyword(keyword, rest);
    if (m_inAccount)
        return AccountKeyword(keyword, rest);
    if (m_inDevice)
        return DeviceKeyword(keyword, rest);
    return Fail("'" + Narrow(keyword) + "' outside a device");
}

bool Parser::Parse(const std::string &text, std::string *error)
{
    m_error = error;
    size_t start = 0;
    // A byte-order mark is no part of the first line.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        start = 3;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        ++m_line;
        std::string bytes = text.substr(start, end - start);
        if (!bytes.empty() && bytes.back() == '\r')
            bytes.pop_back();
        if (bytes.find('\0') != std::string::npos)
            return Fail("the line holds a NUL character");
        std::wstring line;
        if (!bytes.empty()) {
            const int chars = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                                  static_cast<int>(bytes.size()), nullptr, 0);
            if (chars <= 0)
                return Fail("the line is not UTF-8 text");
            line.resize(static_cast<size_t>(chars));
            MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                static_cast<int>(bytes.size()), &line[0], chars);
        }
        if (!Line(line))
            return false;
        if (end == text.size())
            break;
        start = end + 1;
    }
    CloseDevice();
    if (m_devices->empty())
        return Fail("the scenario describes no device");
    return true;
}

} // namespace

bool SimParseScenario(const std::string &utf8Text, const char *sourceName,
                      std::vector<SimDevice> *devices, std::vector<SimInjection> *injections,
                      std::string *error)
{
    std::vector<SimDevice> parsedDevices;
    std::vector<SimInjection> parsedInjections;
    std::string message;
    Parser parser(sourceName, &parsedDevices, &parsedInjections);
    if (!parser.Parse(utf8Text, &message)) {
        if (error != nullptr)
            *error = message;
        return false;
    }
    if (devices != nullptr)
        *devices = parsedDevices;
    if (injections != nullptr)
        *injections = parsedInjections;
    return true;
}

bool SimLoadScenarioText(const std::string &utf8Text, const char *sourceName, std::string *error)
{
    SimReset();
    std::vector<SimDevice> devices;
    std::vector<SimInjection> injections;
    if (!SimParseScenario(utf8Text, sourceName, &devices, &injections, error))
        return false;
    for (const SimDevice &device : devices)
        SimAddDevice(device);
    for (const SimInjection &injection : injections)
        SimInject(injection);
    return true;
}

bool SimParseScenarioFile(const wchar_t *path, std::vector<SimDevice> *devices,
                          std::vector<SimInjection> *injections, std::string *error)
{
    const std::string source = path != nullptr ? Narrow(path) : std::string("(null)");
    HANDLE file = path != nullptr ? CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                                  : INVALID_HANDLE_VALUE;
    if (file == INVALID_HANDLE_VALUE) {
        if (error != nullptr)
            *error = source + ": cannot open the file (error " +
                     std::to_string(GetLastError()) + ")";
        return false;
    }
    LARGE_INTEGER size = {};
    std::string text;
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart < MAX_SCENARIO_BYTES;
    if (ok) {
        text.resize(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        ok = text.empty() || (ReadFile(file, &text[0], static_cast<DWORD>(text.size()), &read,
                                       nullptr) && read == text.size());
    }
    CloseHandle(file);
    if (!ok) {
        if (error != nullptr)
            *error = source + ": cannot read the file, or it is larger than 16 MiB";
        return false;
    }
    return SimParseScenario(text, source.c_str(), devices, injections, error);
}

bool SimLoadScenarioFile(const wchar_t *path, std::string *error)
{
    SimReset();
    std::vector<SimDevice> devices;
    std::vector<SimInjection> injections;
    if (!SimParseScenarioFile(path, &devices, &injections, error))
        return false;
    for (const SimDevice &device : devices)
        SimAddDevice(device);
    for (const SimInjection &injection : injections)
        SimInject(injection);
    return true;
}
