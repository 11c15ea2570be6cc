// Seeded fuzzing of the bridge: short random call sequences with random arguments against a
// random simulated scanner whose lock, unlock, escapes and service calls fail at random.
// After every call the driver must have seen no protocol fault (an escape outside the lock, a
// block or record handed back twice, foreign or unknown, driver bytes changed) and no output may
// have been written past its end; released driver memory is guarded, so a read after hand-back
// faults at once. After the last release no STI object is alive and every block came back,
// except lists a refetch dropped (documented) and blocks whose hand-back the lock or the driver
// refused.
//
// CI runs a fixed count. Longer runs and replays (or FUZZ_SEQUENCES, FUZZ_SEED, FUZZ_FIRST):
//   bridge_unit_tests.exe --gtest_filter=Fuzz.* --fuzz-sequences=N --fuzz-seed=S
//   bridge_unit_tests.exe --gtest_filter=Fuzz.* --fuzz-seed=S --fuzz-first=I --fuzz-sequences=1
//                         --fuzz-verbose
#include "bounded_string.h"
#include "bridge_fixture.h"
#include "registration.h"
#include "sim_registry.h"
#include "sim_sti.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr unsigned long long CI_SEQUENCES = 2000;
constexpr unsigned long long CI_SEED = 20240305;
constexpr unsigned MAX_RANDOM_STEPS = 40;

constexpr wchar_t FUZZ_USER_KEY[] = L"Software\\StiBridgeTests\\Fuzz";
const wchar_t *const DEVICE_NAMES[] = {
    L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0F01",
    L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0F02",
    L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0F03",
};
const wchar_t *const DESCRIPTIONS[] = {
    L"Orvane Quillon 4410MFP TWAIN", L"Orvane Quillon 2230MFP TWAIN",
    L"Orvane DeskHub/Pro TWAIN Scanner", L"Orvane Quillon 4410MFP WIA", L"Acme FlatBed", L""};
const wchar_t *const LOCAL_NAMES[] = {L"Quillon", L"Quillon 2", L"DeskHub", L""};
const wchar_t *const ACCOUNTS[] = {L"alice", L"bob"};
const wchar_t *const ITEM_NAMES[] = {L"J0.tif", L"J1.gif", L"J2.jpg", L"J3", L"J4.tif", L""};
const wchar_t *const OWNERS[] = {L"S-1-1-0", L"S-1-1-0", L"S-1-5-21-1-2-3-1104", L"no sid"};
const DWORD PROPERTY_IDS[] = {
    PROP_PAGES, PROP_DATATYPE, PROP_DEPTH, PROP_COMPRESSION, PROP_PLANAR, PROP_PIXELS_PER_LINE,
    PROP_NUMBER_OF_LINES, PROP_ITEM_SIZE, PROP_XRES, PROP_FORMAT, PROP_PAPER_SIZE,
    PROP_SETTING_FLAG, PROP_FIXED_38920, PROP_EXTENDED_CAPABILITY, PROP_FIXED_38936,
    PROP_FIXED_38938, PROP_FIXED_38949, PROP_FIXED_38953, 1, 0};
const LONG EDGE_LONGS[] = {0,    1,     2,     3,          4,          5,        6,
                           7,    8,     16,    24,         -1,         -2,       100,
                           4096, 65535, 65536, 0x1FFFFFFF, 0x20000000, LONG_MAX, LONG_MIN};
const HRESULT FAILURES[] = {E_FAIL, E_ACCESSDENIED, STIERR_DEVICE_LOCKED, STIERR_OBJECTNOTFOUND,
                            E_OUTOFMEMORY, static_cast<HRESULT>(0x8007007A)};
const DWORD ESCAPE_CODES[] = {
    ESC_PREPARE_ITEM,      ESC_TRANSFER,         ESC_DELETE_ITEM,      ESC_GET_SCAN_SETTINGS,
    ESC_SET_SCAN_SETTINGS, ESC_GET_CAPABILITIES, ESC_FREE_BLOCK,       ESC_BEGIN_SETTINGS,
    ESC_END_SETTINGS,      ESC_REGISTER_EVENT,   ESC_UNREGISTER_EVENT, ESC_QUERY_VALUE,
    ESC_SET_ACCOUNT,       ESC_GET_ACCOUNT,      ESC_GET_ITEM_LIST,    0};

// Transfers write at most this much; sizes the IDL allows beyond it cannot be backed here.
constexpr ULONG BUFFER_BYTES = 1u << 20;
constexpr size_t FENCE_BYTES = 64;
constexpr BYTE FENCE = 0xA5;

// splitmix64: the same numbers from every compiler and library.
class Rng
{
public:
    explicit Rng(unsigned long long seed) : m_state(seed) {}
    unsigned long long Next()
    {
        unsigned long long z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    unsigned Below(unsigned n) { return n == 0 ? 0 : static_cast<unsigned>(Next() % n); }
    bool Chance(unsigned percent) { return Below(100) < percent; }
    template <typename T, size_t N> const T &Pick(const T (&values)[N]) { return values[Below(N)]; }
    LONG Long() { return Chance(60) ? Pick(EDGE_LONGS) : static_cast<LONG>(Next()); }

private:
    unsigned long long m_state;
};

struct Options
{
    unsigned long long sequences = CI_SEQUENCES;
    unsigned long long seed = CI_SEED;
    unsigned long long first = 0;
    bool verbose = false;
};

bool NumberOption(const char *name, unsigned long long *value)
{
    const std::wstring flag = L"--fuzz-" + std::wstring(name, name + strlen(name)) + L"=";
    const wchar_t *found = wcsstr(GetCommandLineW(), flag.c_str());
    if (found != nullptr) {
        *value = wcstoull(found + flag.size(), nullptr, 0);
        return true;
    }
    std::string variable = std::string("FUZZ_") + name;
    for (char &c : variable)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    char text[32] = {};
    if (GetEnvironmentVariableA(variable.c_str(), text, sizeof(text)) == 0)
        return false;
    *value = strtoull(text, nullptr, 0);
    return true;
}

Options ReadOptions()
{
    Options options;
    NumberOption("sequences", &options.sequences);
    NumberOption("seed", &options.seed);
    NumberOption("first", &options.first);
    options.verbose = wcsstr(GetCommandLineW(), L"--fuzz-verbose") != nullptr;
    return options;
}

std::wstring LongText(wchar_t fill)
{
    return std::wstring(300, fill);
}

// An output with a fence behind it: a write past its end shows in the fence.
template <typename T> struct Fenced
{
    T value;
    BYTE fence[FENCE_BYTES];
    Fenced()
    {
        memset(&value, 0x3C, sizeof(value));
        memset(fence, FENCE, sizeof(fence));
    }
    bool Intact() const
    {
        for (BYTE b : fence) {
            if (b != FENCE)
                return false;
        }
        return true;
    }
};

struct Finding
{
    std::string report;
    unsigned long long count = 0;
};

class Fuzzer;
Fuzzer *g_running = nullptr;

class Fuzzer
{
public:
    explicit Fuzzer(const Options &options)
        : m_options(options), m_buffer(BUFFER_BYTES + FENCE_BYTES)
    {
    }

    void Run();
    void PrintCrash(DWORD code);

    std::map<std::string, Finding> findings;
    unsigned long long steps = 0, calls = 0, failedCalls = 0, injections = 0;

private:
    // One sequence, seeded by the run's seed and its index.
    void RunSequence(unsigned long long index);
    void BuildWorld();
    void PrepareUserKey();
    void Inject();
    void Step(unsigned op);
    void NoteRefetch(unsigned op, size_t listsBefore);
    void AfterStep();
    void CheckEnd();
    void Fail(const std::string &what);
    void Log(const char *format, ...);

    // On the road, arguments a client would pass; off it, mostly edges.
    bool Valid() { return m_road ? m_rng.Chance(90) : m_rng.Chance(30); }
    LONG Index()
    {
        if (Valid() && m_itemCount > 0)
            return static_cast<LONG>(m_rng.Below(static_cast<unsigned>(m_itemCount)));
        return m_rng.Chance(75) ? static_cast<LONG>(m_rng.Below(9)) - 1 : m_rng.Long();
    }
    const wchar_t *Text();
    TransferRequestView Request();
    void Transfer(unsigned op);

    const Options &m_options;
    Rng m_rng{0};
    unsigned long long m_sequence = 0;
    CStiScannerComBridge *m_bridge = nullptr;
    std::vector<std::wstring> m_texts;
    std::vector<std::string> m_trace;
    std::vector<size_t> m_stepCalls; // SimCallCount() at the start of each step
    std::vector<BYTE> m_buffer;
    bool m_failed = false;
    bool m_road = false;
    LONG m_itemCount = 0;   // the last count GetItemCount gave
    std::wstring m_current; // the last name GetCurrentItem gave
    // Device objects whose last list a later GetItemCount dropped without a new one coming.
    std::set<unsigned> m_listDropped;
};

const wchar_t *Fuzzer::Text()
{
    if (m_rng.Chance(10))
        return nullptr;
    return m_texts[m_rng.Below(static_cast<unsigned>(m_texts.size()))].c_str();
}

void Fuzzer::Log(const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    m_trace.push_back(text);
    if (m_options.verbose) {
        printf("  %u: %s\n", static_cast<unsigned>(m_trace.size()), text);
        fflush(stdout);
    }
}

void Fuzzer::Fail(const std::string &what)
{
    m_failed = true;
    std::string signature = what.substr(0, what.find('\n'));
    std::string kept;
    for (char c : signature) {
        if (c < '0' || c > '9')
            kept += c;
    }
    Finding &finding = findings[kept];
    if (finding.count++ == 0) {
        finding.report = what + "\n  replay: --fuzz-seed=" + std::to_string(m_options.seed) +
                         " --fuzz-first=" + std::to_string(m_sequence) +
                         " --fuzz-sequences=1 --fuzz-verbose\n  after step " +
                         std::to_string(m_trace.size()) + " of:\n";
        for (size_t i = 0; i < m_trace.size(); ++i)
            finding.report += "    " + std::to_string(i + 1) + ": " + m_trace[i] + "\n";
    }
}

void Fuzzer::PrintCrash(DWORD code)
{
    fprintf(stderr,
            "\nfuzz: exception 0x%08lX in seed %llu sequence %llu, step %u; replay with "
            "--fuzz-seed=%llu --fuzz-first=%llu --fuzz-sequences=1 --fuzz-verbose\n",
            static_cast<unsigned long>(code), m_options.seed, m_sequence,
            static_cast<unsigned>(m_trace.size()), m_options.seed, m_sequence);
    for (size_t i = 0; i < m_trace.size(); ++i)
        fprintf(stderr, "  %u: %s\n", static_cast<unsigned>(i + 1), m_trace[i].c_str());
    fflush(stderr);
}

LONG WINAPI CrashFilter(EXCEPTION_POINTERS *exception)
{
    if (g_running != nullptr)
        g_running->PrintCrash(exception->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

SimItem RandomItem(Rng &rng, size_t index)
{
    const wchar_t *name = ITEM_NAMES[index % (sizeof(ITEM_NAMES) / sizeof(ITEM_NAMES[0]))];
    const std::wstring longName = LongText(L'n');
    const wchar_t *chosen = rng.Chance(5) ? longName.c_str() : name;
    const LONG depths[] = {1, 8, 24, 16, 32, 3};
    SimItem item = SimMakeItem(chosen, rng.Chance(20) ? L"scan.gif" : chosen, rng.Pick(OWNERS),
                               rng.Chance(80) ? name : L"", 1 + rng.Below(3),
                               static_cast<LONG>(1 + rng.Below(64)),
                               static_cast<LONG>(1 + rng.Below(16)), rng.Pick(depths));
    const DWORD states[] = {ITEM_STATE_READY, ITEM_STATE_READY, ITEM_STATE_READY, 1, 0, 7};
    item.state = rng.Pick(states);
    item.resolutionCode = static_cast<LONG>(rng.Below(9)) - 1;
    item.format = static_cast<LONG>(rng.Below(7));
    item.nullEntry = rng.Chance(8);
    item.nullProperties = rng.Chance(5);
    // Drop, duplicate or add records; ids keep their kinds (4100 a time, the rest integers).
    for (unsigned n = rng.Below(4); n > 0 && !item.properties.empty(); --n) {
        const size_t at = rng.Below(static_cast<unsigned>(item.properties.size()));
        switch (rng.Below(3)) {
        case 0: item.properties.erase(item.properties.begin() + static_cast<ptrdiff_t>(at)); break;
        case 1: item.properties.push_back(item.properties[at]); break;
        default:
            item.properties.push_back(SimIntProperty(rng.Pick(PROPERTY_IDS), rng.Long()));
            break;
        }
    }
    if (rng.Chance(10)) {
        SYSTEMTIME time = {};
        item.properties.push_back(SimTimeProperty(time, static_cast<LONG>(rng.Below(3))));
        item.properties.back().nullElements = rng.Chance(50);
    }
    const DWORD pageIds[] = {PROP_PAGES,       PROP_DEPTH,           PROP_PLANAR,
                             PROP_XRES,        PROP_PIXELS_PER_LINE, PROP_NUMBER_OF_LINES,
                             PROP_COMPRESSION, PROP_FORMAT};
    const LONG sizes[] = {0, 1, 8, 24, 33, 64};
    for (unsigned n = rng.Chance(30) ? 1 + rng.Below(3) : 0; n > 0; --n) {
        SimPageProperty page;
        page.page = static_cast<LONG>(1 + rng.Below(3));
        page.id = rng.Pick(pageIds);
        const bool geometry = page.id == PROP_DEPTH || page.id == PROP_PIXELS_PER_LINE ||
                              page.id == PROP_NUMBER_OF_LINES;
        page.value = geometry ? rng.Pick(sizes) : rng.Long();
        page.remove = rng.Chance(20);
        item.pageProperties.push_back(page);
    }
    return item;
}

std::vector<SimProperty> RandomRecords(Rng &rng, std::vector<SimProperty> standard)
{
    switch (rng.Below(5)) {
    case 0: return {};
    case 1: {
        std::vector<SimProperty> records;
        for (unsigned n = rng.Below(6); n > 0; --n)
            records.push_back(SimIntProperty(rng.Pick(PROPERTY_IDS), rng.Long()));
        return records;
    }
    case 2:
        standard.push_back(standard[rng.Below(static_cast<unsigned>(standard.size()))]);
        standard.back().value = rng.Long();
        return standard;
    default: return standard;
    }
}

void Fuzzer::BuildWorld()
{
    const unsigned devices = 1 + m_rng.Below(3);
    for (unsigned d = 0; d < devices; ++d) {
        const bool supported = d == 0 && m_rng.Chance(85);
        SimDevice device =
            SimMakeDevice(DEVICE_NAMES[d], supported ? DESCRIPTIONS[0] : m_rng.Pick(DESCRIPTIONS),
                          m_rng.Pick(LOCAL_NAMES));
        device.launch = m_rng.Chance(15);
        device.userDataKey = m_rng.Chance(85) ? FUZZ_USER_KEY : L"";
        device.selectedItem = m_rng.Chance(70) ? ITEM_NAMES[m_rng.Below(6)] : L"JOB-NONE";
        device.capabilities = RandomRecords(m_rng, SimStandardCapabilities());
        for (unsigned a = m_rng.Chance(85) ? 1 + m_rng.Below(2) : 0; a > 0; --a) {
            SimAccount account = SimMakeAccount(ACCOUNTS[m_rng.Chance(70) ? 0 : 1]);
            account.settings = RandomRecords(m_rng, SimStandardSettings());
            switch (m_rng.Below(4)) {
            case 0: account.accountRecords.clear(); break;
            case 1: account.accountRecords = {SimTextProperty(PROP_PIN, nullptr)}; break;
            case 2: account.accountRecords = {SimIntProperty(38945, 1)}; break;
            default: break;
            }
            account.checkPin = m_rng.Chance(30);
            account.pin = L"1234";
            for (unsigned i = m_rng.Chance(85) ? 1 + m_rng.Below(5) : 0; i > 0; --i)
                account.items.push_back(RandomItem(m_rng, account.items.size()));
            device.accounts.push_back(account);
        }
        SimAddDevice(device);
    }
}

void Fuzzer::PrepareUserKey()
{
    DeleteKeyTree(HKEY_CURRENT_USER, FUZZ_USER_KEY);
    if (!m_rng.Chance(40))
        return;
    UniqueHKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, FUZZ_USER_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS)
        return;
    const std::wstring pins[] = {L"1234", L"", LongText(L'7')};
    const std::wstring &pin = m_rng.Pick(pins);
    if (m_rng.Chance(60))
        RegSetValueExW(key.get(), L"OrvUserPIN", 0, REG_SZ,
                       reinterpret_cast<const BYTE *>(pin.c_str()),
                       static_cast<DWORD>((pin.size() + m_rng.Below(2)) * sizeof(wchar_t)));
    const DWORD flag = m_rng.Below(2);
    if (m_rng.Chance(40))
        RegSetValueExW(key.get(), L"Prefix_DeleteImageOnScan", 0, REG_DWORD,
                       reinterpret_cast<const BYTE *>(&flag), sizeof(flag));
    const std::wstring stored = m_rng.Chance(50) ? L"Stored" : std::wstring(260, L's');
    if (m_rng.Chance(40))
        RegSetValueExW(key.get(), L"Prefix_Name", 0, REG_SZ,
                       reinterpret_cast<const BYTE *>(stored.c_str()),
                       static_cast<DWORD>(stored.size() * sizeof(wchar_t)));
}

// Failures a real device or service can answer with. Lock failures take no lock; a failed
// unlock still lets go; a free request that fails kept its block, and one that succeeds released
// it (a driver that lies about a free leaves nothing the bridge could do right).
void Fuzzer::Inject()
{
    for (unsigned n = m_rng.Chance(60) ? 1 + m_rng.Below(3) : 0; n > 0; --n) {
        SimInjection injection;
        injection.firstCall = 1 + m_rng.Below(6);
        const unsigned counts[] = {1, 1, 2, 0};
        injection.count = m_rng.Pick(counts);
        injection.result = m_rng.Pick(FAILURES);
        switch (m_rng.Below(6)) {
        case 0: injection.point = SimPoint::LockDevice; break;
        case 1:
            injection.point = SimPoint::UnLockDevice;
            injection.perform = true;
            if (m_rng.Chance(30))
                injection.result = S_FALSE;
            break;
        case 2: {
            const SimPoint service[] = {SimPoint::CreateInstance, SimPoint::GetLaunchInformation,
                                        SimPoint::GetDeviceList,  SimPoint::GetDeviceInfo,
                                        SimPoint::CreateDevice,   SimPoint::GetDeviceValue,
                                        SimPoint::GetLastError};
            injection.point = m_rng.Pick(service);
            injection.perform = m_rng.Chance(30);
            break;
        }
        default: {
            injection.point = SimPoint::Escape;
            injection.escapeCode = m_rng.Pick(ESCAPE_CODES);
            if (injection.escapeCode == ESC_TRANSFER && m_rng.Chance(50))
                injection.transferKind = static_cast<LONG>(m_rng.Below(5));
            const bool mayFree =
                injection.escapeCode == 0 || injection.escapeCode == ESC_FREE_BLOCK;
            if (!mayFree) {
                const HRESULT answers[] = {S_OK, S_FALSE, 2, E_FAIL, STIERR_OBJECTNOTFOUND};
                injection.result = m_rng.Pick(answers);
                injection.perform = m_rng.Chance(50);
                injection.setActual = m_rng.Chance(20);
                const DWORD actuals[] = {0, 1, 40, 0xFFFFFFFF};
                injection.actual = m_rng.Pick(actuals);
            }
            break;
        }
        }
        SimInject(injection);
        ++injections;
        Log("inject point %d escape 0x%lX kind %ld: 0x%lX%s, calls %u+%u",
            static_cast<int>(injection.point), injection.escapeCode, injection.transferKind,
            injection.result, injection.perform ? " after the work" : "", injection.firstCall,
            injection.count);
    }
}

TransferRequestView Fuzzer::Request()
{
    const LONG kinds[] = {0, 1, 1, 2, 3, 4, 4, 5, -1};
    TransferRequestView request = {};
    request.kind = m_road ? SIM_TRANSFER_DATA : m_rng.Chance(90) ? m_rng.Pick(kinds) : m_rng.Long();
    request.pixelCode = m_rng.Long();
    request.page = Valid()            ? 1
                   : m_rng.Chance(80) ? static_cast<LONG>(m_rng.Below(4))
                                      : m_rng.Long();
    request.option = m_rng.Chance(50) ? 1 : m_rng.Long();
    request.value = m_rng.Chance(80) ? static_cast<LONG>(m_rng.Below(5)) : m_rng.Long();
    request.flag = m_rng.Long();
    request.itemName = const_cast<WCHAR *>(Valid() ? m_current.c_str() : Text());
    return request;
}

enum Op : unsigned
{
    OP_RESERVED, OP_SET_PAGES, OP_CREATE_STILL_IMAGE, OP_OPEN_LAUNCH_DEVICE, OP_ADVANCE_PAGE,
    OP_GET_ITEM_COUNT, OP_GET_ITEM_FILES, OP_DELETE_ITEM, OP_ENUMERATE, OP_SELECT_DEVICE,
    OP_OPEN_ACCOUNT, OP_FREE_ITEM_LIST, OP_GET_IMAGE_INFO, OP_PREPARE_TRANSFER, OP_REGISTER_EVENTS,
    OP_UNREGISTER_EVENTS, OP_SET_SELECTION, OP_SELECT_BY_NAME, OP_DELETE_IMAGE_ON_SCAN,
    OP_IS_ITEM_READY, OP_APPLY_SETTINGS, OP_GET_SETTINGS, OP_SET_SETTINGS, OP_BEGIN_SETTINGS,
    OP_END_SETTINGS, OP_ITEM_FORMAT, OP_ITEM_DETAILS, OP_ITEM_TIME, OP_IMAGE_SIZE, OP_REPORTERS,
    OP_CLOSE_DEVICE, OP_SEND_PIN, OP_DRIVER_SELECTED, OP_FREE_SETTINGS, OP_FREE_CAPABILITIES,
    OP_CURRENT_ITEM, OP_TRANSFER_DATA, OP_TRANSFER_STRING, OP_PAGE_POSITION, OP_TRANSFER_QUERY,
    OP_TRANSFER_IMAGE, OP_SERVER_FILE_NAME, OP_QUERY_INTERFACE, OP_FETCH_CAPABILITIES,
    OP_OPEN_USER_KEY, OP_RESOLVE_NAME, OP_WRITE_SETTINGS, OP_SET_ACCOUNT_PIN, OP_MAP_SETTINGS,
    OP_SET_PROPERTY, OP_QUERY_DRIVER_VALUE, OP_COUNT
};

// The road of a client, each step taken or skipped at random, before the random steps.
const Op ROAD[] = {OP_CREATE_STILL_IMAGE, OP_ENUMERATE,       OP_SELECT_DEVICE,  OP_OPEN_ACCOUNT,
                   OP_SEND_PIN,           OP_REGISTER_EVENTS, OP_GET_ITEM_COUNT, OP_SET_SELECTION,
                   OP_GET_IMAGE_INFO,     OP_CURRENT_ITEM,    OP_TRANSFER_DATA,  OP_TRANSFER_DATA,
                   OP_ADVANCE_PAGE,       OP_GET_SETTINGS};

void Fuzzer::Transfer(unsigned op)
{
    TransferRequestView request = Request();
    const ULONG sizes[] = {0, 1, 39, 40, 41, 64, 1584, 4096, 65536, BUFFER_BYTES};
    const ULONG size = m_rng.Chance(80) ? m_rng.Pick(sizes) : m_rng.Below(BUFFER_BYTES + 1);
    BYTE *buffer = m_rng.Chance(10) ? nullptr : m_buffer.data();
    memset(m_buffer.data() + size, FENCE, FENCE_BYTES);
    LONG status = 42;
    HRESULT hr;
    if (op == OP_TRANSFER_QUERY) {
        LONG value = 0;
        hr = m_bridge->TransferQuery(&request, &value, &status);
        Log("TransferQuery(kind %ld page %ld value %ld) = 0x%lX status %ld", request.kind,
            request.page, request.value, hr, status);
        return;
    }
    if (op == OP_TRANSFER_STRING) {
        WCHAR *text = nullptr;
        LONG length = -7;
        hr = m_bridge->TransferString(&request, &text, &length, &status);
        Log("TransferString(kind %ld value %ld) = 0x%lX", request.kind, request.value, hr);
        if (text != nullptr && static_cast<size_t>(length) != wcslen(text))
            Fail("TransferString: length " + std::to_string(length) + " for a text of " +
                 std::to_string(wcslen(text)) + " characters");
        CoTaskMemFree(text);
        return;
    }
    if (op == OP_TRANSFER_DATA)
        hr = m_bridge->TransferData(&request, buffer, size, &status);
    else
        hr = m_bridge->TransferImage(&request, buffer, size, &status);
    Log("%s(kind %ld page %ld, %s, %lu) = 0x%lX status %ld",
        op == OP_TRANSFER_DATA ? "TransferData" : "TransferImage", request.kind, request.page,
        buffer != nullptr ? "buffer" : "null", size, hr, status);
    for (size_t i = 0; i < FENCE_BYTES; ++i) {
        if (m_buffer[size + i] != FENCE) {
            Fail("transfer wrote past the buffer's " + std::to_string(size) + " bytes");
            break;
        }
    }
}

void Fuzzer::Step(unsigned op)
{
    CStiScannerComBridge &b = *m_bridge;
    HRESULT hr = S_OK;
    switch (op) {
    case OP_RESERVED: Log("Reserved1/2 = 0x%lX", b.Reserved1() | b.Reserved2()); break;
    case OP_SET_PAGES: {
        const LONG pages = m_rng.Long();
        Log("SetPagesRemaining(%ld) = 0x%lX", pages, b.SetPagesRemaining(pages));
        break;
    }
    case OP_CREATE_STILL_IMAGE: Log("CreateStillImage = 0x%lX", b.CreateStillImage()); break;
    case OP_OPEN_LAUNCH_DEVICE: Log("OpenLaunchDevice = 0x%lX", b.OpenLaunchDevice()); break;
    case OP_ADVANCE_PAGE: {
        const LONG mode = m_rng.Chance(85) ? static_cast<LONG>(m_rng.Below(3)) : m_rng.Long();
        LONG left = -7;
        hr = b.AdvancePage(mode, &left);
        Log("AdvancePage(%ld) = 0x%lX left %ld", mode, hr, left);
        break;
    }
    case OP_GET_ITEM_COUNT: {
        LONG count = -7;
        hr = b.GetItemCount(&count);
        Log("GetItemCount = 0x%lX count %ld", hr, count);
        if (hr == S_OK)
            m_itemCount = count;
        break;
    }
    case OP_GET_ITEM_FILES: {
        const LONG index = Index();
        BSTR name = nullptr, thumbnail = nullptr;
        hr = b.GetItemFiles(index, &name, &thumbnail);
        Log("GetItemFiles(%ld) = 0x%lX", index, hr);
        if ((name == nullptr) != (thumbnail == nullptr))
            Fail("GetItemFiles gave one name without the other");
        SysFreeString(name);
        SysFreeString(thumbnail);
        break;
    }
    case OP_DELETE_ITEM: {
        const LONG index = Index();
        Log("DeleteItem(%ld) = 0x%lX", index, b.DeleteItem(index));
        break;
    }
    case OP_ENUMERATE: {
        const LONG wanted[] = {1, 1, 0, 2, 3, -1, LONG_MAX, LONG_MIN};
        LONG count = Valid() ? 1 : m_rng.Pick(wanted);
        const LONG asked = count;
        BSTR names = nullptr;
        hr = b.EnumerateDevices(&count, &names);
        Log("EnumerateDevices(%ld) = 0x%lX count %ld", asked, hr, count);
        if (names != nullptr && SysStringLen(names) >= NAME_CHARS)
            Fail("EnumerateDevices: a name list longer than its buffer");
        SysFreeString(names);
        break;
    }
    case OP_SELECT_DEVICE: {
        const wchar_t *name = m_rng.Chance(60) ? m_rng.Pick(LOCAL_NAMES) : Text();
        LONG family = -7;
        hr = b.SelectDevice(name, &family);
        Log("SelectDevice(%ls) = 0x%lX family %ld", name != nullptr ? name : L"(null)", hr, family);
        break;
    }
    case OP_OPEN_ACCOUNT: {
        const wchar_t *name = Valid() ? L"Name" : Text();
        const wchar_t *prefix = Valid() ? L"Prefix" : Text();
        const wchar_t *key = Valid() ? ACCOUNTS[m_rng.Chance(80) ? 0 : 1] : Text();
        hr = b.OpenAccount(name, prefix, key);
        Log("OpenAccount(%.20ls, %.20ls, %.20ls) = 0x%lX", name != nullptr ? name : L"(null)",
            prefix != nullptr ? prefix : L"(null)", key != nullptr ? key : L"(null)", hr);
        break;
    }
    case OP_FREE_ITEM_LIST: Log("FreeItemList = 0x%lX", b.FreeItemList()); break;
    case OP_GET_IMAGE_INFO: {
        Fenced<ImageInfo> info;
        const LONG query = Valid()            ? 1
                           : m_rng.Chance(80) ? static_cast<LONG>(m_rng.Below(2))
                                              : m_rng.Long();
        hr = b.GetImageInfo(&info.value, query);
        Log("GetImageInfo(%ld) = 0x%lX", query, hr);
        if (!info.Intact())
            Fail("GetImageInfo wrote past its 42 bytes");
        break;
    }
    case OP_PREPARE_TRANSFER: {
        const LONG kind = m_rng.Chance(80) ? static_cast<LONG>(m_rng.Below(4)) : m_rng.Long();
        LONG code = m_rng.Long();
        hr = b.PrepareTransfer(m_rng.Long(), m_rng.Long(), kind, m_rng.Long(), m_rng.Long(),
                               m_rng.Long(), m_rng.Long(), m_rng.Long(), &code);
        Log("PrepareTransfer(kind %ld) = 0x%lX code %ld", kind, hr, code);
        break;
    }
    case OP_REGISTER_EVENTS: Log("RegisterEvents = 0x%lX", b.RegisterEvents()); break;
    case OP_UNREGISTER_EVENTS: Log("UnregisterEvents = 0x%lX", b.UnregisterEvents()); break;
    case OP_SET_SELECTION: {
        LONG indices[8];
        const unsigned stored = m_road ? 1 + m_rng.Below(3) : m_rng.Below(9);
        for (unsigned i = 0; i < stored; ++i)
            indices[i] = Index();
        // Counts above the array would read past it: only those refused before any read.
        const LONG beyond[] = {-1, LONG_MIN, 0x20000000, LONG_MAX};
        const LONG count = Valid()            ? static_cast<LONG>(stored)
                           : m_rng.Chance(80) ? static_cast<LONG>(m_rng.Below(stored + 1))
                                              : m_rng.Pick(beyond);
        const bool null = m_rng.Chance(5);
        hr = b.SetSelection(null ? nullptr : indices, count);
        Log("SetSelection(%s, %ld) = 0x%lX", null ? "null" : "indices", count, hr);
        break;
    }
    case OP_SELECT_BY_NAME: {
        const LONG depthTest = m_rng.Chance(50) ? 0 : m_rng.Long();
        const wchar_t *name = m_rng.Chance(60) ? ITEM_NAMES[m_rng.Below(6)] : Text();
        const LONG depths[] = {1, 8, 24, 16, 0, -1};
        const LONG depth = m_rng.Pick(depths);
        LONG pages = -7;
        hr = b.SelectItemByName(depthTest, &pages, name, depth);
        Log("SelectItemByName(%ld, %.20ls, %ld) = 0x%lX pages %ld", depthTest,
            name != nullptr ? name : L"(null)", depth, hr, pages);
        break;
    }
    case OP_DELETE_IMAGE_ON_SCAN: {
        LONG flag = -7;
        Log("GetDeleteImageOnScan = 0x%lX", b.GetDeleteImageOnScan(&flag));
        break;
    }
    case OP_IS_ITEM_READY: {
        const LONG index = Index();
        LONG ready = -7;
        hr = b.IsItemReady(index, &ready);
        Log("IsItemReady(%ld) = 0x%lX ready %ld", index, hr, ready);
        if (ready != 0 && ready != 1)
            Fail("IsItemReady answered neither 0 nor 1");
        break;
    }
    case OP_APPLY_SETTINGS: Log("ApplyScanSettings = 0x%lX", b.ApplyScanSettings()); break;
    case OP_GET_SETTINGS:
    case OP_MAP_SETTINGS: {
        USHORT v[5] = {7, 7, 7, 7, 7};
        hr = op == OP_GET_SETTINGS ? b.GetScanSettings(&v[0], &v[1], &v[2], &v[3], &v[4])
                                   : b.MapScanSettings(&v[0], &v[1], &v[2], &v[3], &v[4]);
        Log("%s = 0x%lX", op == OP_GET_SETTINGS ? "GetScanSettings" : "MapScanSettings", hr);
        break;
    }
    case OP_SET_SETTINGS: {
        const wchar_t *names[] = {L" Scan, Colour\tA4 ", L"%s%n%ls", nullptr};
        const wchar_t *name = m_rng.Chance(50) ? m_rng.Pick(names) : Text();
        const USHORT codes[] = {0,  1,  2,   4,   5,   6,   9,   10,  11,
                                52, 72, 100, 150, 200, 300, 400, 600, 0xFFFF};
        hr = b.SetScanSettings(name, m_rng.Pick(codes), m_rng.Pick(codes), m_rng.Pick(codes),
                               m_rng.Pick(codes), m_rng.Pick(codes), m_rng.Pick(codes));
        Log("SetScanSettings(%.20ls) = 0x%lX", name != nullptr ? name : L"(null)", hr);
        break;
    }
    case OP_BEGIN_SETTINGS: Log("BeginSettings = 0x%lX", b.BeginSettings()); break;
    case OP_END_SETTINGS: Log("EndSettings = 0x%lX", b.EndSettings()); break;
    case OP_ITEM_FORMAT: {
        USHORT format = 7;
        Log("GetCurrentItemFormat = 0x%lX", b.GetCurrentItemFormat(&format));
        break;
    }
    case OP_ITEM_DETAILS: {
        const LONG index = Index();
        BSTR title = nullptr;
        LONG pixel = 0, resolution = 0, pages = 0, size = 0;
        hr = b.GetItemDetails(index, &title, m_rng.Long(), &pixel, &resolution, &pages, &size);
        Log("GetItemDetails(%ld) = 0x%lX", index, hr);
        SysFreeString(title);
        break;
    }
    case OP_ITEM_TIME: {
        const LONG index = Index();
        Fenced<SYSTEMTIME> time;
        hr = b.GetItemTime(index, &time.value);
        Log("GetItemTime(%ld) = 0x%lX", index, hr);
        if (!time.Intact())
            Fail("GetItemTime wrote past its 16 bytes");
        break;
    }
    case OP_IMAGE_SIZE: {
        LONG size = -7;
        hr = b.GetImageSize(&size);
        Log("GetImageSize = 0x%lX size %ld", hr, size);
        break;
    }
    case OP_REPORTERS: {
        LONG a = 0, c = 0, d = 0, e = 0, f = 0;
        hr = b.GetExtendedCapability(&a) | b.GetReservedValue(&c) | b.GetModelFamily(&d) |
             b.GetPagePosition(&e, &f);
        Log("reporters = 0x%lX extended %ld family %ld page %ld of %ld", hr, a, d, e, f);
        if (hr != S_OK || c != -1)
            Fail("a reporting method failed or the reserved value changed");
        break;
    }
    case OP_CLOSE_DEVICE: Log("CloseDevice = 0x%lX", b.CloseDevice()); break;
    case OP_SEND_PIN: Log("SendUserPin = 0x%lX", b.SendUserPin()); break;
    case OP_DRIVER_SELECTED: {
        Fenced<WCHAR[NAME_CHARS]> name;
        hr = b.GetDriverSelectedItem(name.value);
        Log("GetDriverSelectedItem = 0x%lX", hr);
        if (!name.Intact() || wcsnlen(name.value, NAME_CHARS) == NAME_CHARS)
            Fail("GetDriverSelectedItem left its 260 characters unterminated or overran them");
        break;
    }
    case OP_FREE_SETTINGS: Log("FreeScanSettings = 0x%lX", b.FreeScanSettings()); break;
    case OP_FREE_CAPABILITIES: Log("FreeCapabilities = 0x%lX", b.FreeCapabilities()); break;
    case OP_CURRENT_ITEM: {
        BSTR name = nullptr;
        LONG page = -7;
        hr = b.GetCurrentItem(&name, &page);
        Log("GetCurrentItem = 0x%lX page %ld", hr, page);
        if (hr == S_OK)
            m_current = name != nullptr ? name : L"";
        SysFreeString(name);
        break;
    }
    case OP_TRANSFER_DATA:
    case OP_TRANSFER_STRING:
    case OP_TRANSFER_QUERY:
    case OP_TRANSFER_IMAGE: Transfer(op); break;
    case OP_PAGE_POSITION: {
        LONG page = 0, count = 0;
        Log("GetPagePosition = 0x%lX", b.GetPagePosition(&page, &count));
        break;
    }
    case OP_SERVER_FILE_NAME: {
        BSTR name = nullptr;
        Log("GetServerFileName = 0x%lX", b.GetServerFileName(&name));
        SysFreeString(name);
        break;
    }
    case OP_QUERY_INTERFACE: {
        const IID iids[] = {IID_IUnknown, IID_IStiScannerComBridge, IID_IMarshal, IID_IDispatch};
        void *object = reinterpret_cast<void *>(1);
        hr = static_cast<IStiScannerComBridge &>(b).QueryInterface(m_rng.Pick(iids), &object);
        Log("QueryInterface = 0x%lX", hr);
        if ((hr == S_OK) != (object != nullptr))
            Fail("QueryInterface: result and pointer disagree");
        if (hr == S_OK && object != nullptr)
            static_cast<IUnknown *>(object)->Release();
        break;
    }
    case OP_FETCH_CAPABILITIES: Log("FetchCapabilities = 0x%lX", b.FetchCapabilities()); break;
    case OP_OPEN_USER_KEY: Log("OpenUserKey = %d", b.OpenUserKey() ? 1 : 0); break;
    case OP_RESOLVE_NAME: {
        Fenced<wchar_t[NAME_CHARS]> resolved;
        hr = b.ResolveSettingsName(resolved.value);
        Log("ResolveSettingsName = 0x%lX", hr);
        if (!resolved.Intact() ||
            (SUCCEEDED(hr) && wcsnlen(resolved.value, NAME_CHARS) == NAME_CHARS))
            Fail("ResolveSettingsName left its 260 characters unterminated or overran them");
        break;
    }
    case OP_WRITE_SETTINGS: {
        UniqueHKey key;
        if (m_rng.Chance(70))
            RegCreateKeyExW(HKEY_CURRENT_USER, FUZZ_USER_KEY, 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, key.put(), nullptr);
        const wchar_t *name = Text();
        hr = b.WriteSettingsValues(key.get(), name != nullptr ? name : L"Value");
        Log("WriteSettingsValues = 0x%lX", hr);
        break;
    }
    case OP_SET_ACCOUNT_PIN: {
        const wchar_t *pin = m_rng.Chance(50) ? L"1234" : Text();
        Log("SetAccountPin(%.20ls) = 0x%lX", pin != nullptr ? pin : L"(null)",
            b.SetAccountPin(pin));
        break;
    }
    case OP_SET_PROPERTY: {
        // A block of the test's own: the method edits whatever block it is given.
        PropertyRecord records[3] = {};
        PropertyBlock block = {};
        for (PropertyRecord &record : records)
            record.id = m_rng.Pick(PROPERTY_IDS);
        block.count = m_rng.Below(4);
        block.properties = m_rng.Chance(90) ? records : nullptr;
        if (block.properties == nullptr)
            block.count = 0;
        const bool null = m_rng.Chance(20);
        hr = b.SetPropertyValue(null ? nullptr : &block, m_rng.Pick(PROPERTY_IDS), m_rng.Long());
        Log("SetPropertyValue(%s, %lu records) = 0x%lX", null ? "null" : "block", block.count, hr);
        break;
    }
    case OP_QUERY_DRIVER_VALUE: {
        const LONG selector = m_rng.Chance(70) ? QUERY_SELECTED_ITEM : m_rng.Long();
        void *value = nullptr;
        const bool wanted = m_rng.Chance(80);
        hr = b.QueryDriverValue(selector, wanted ? &value : nullptr);
        Log("QueryDriverValue(%ld) = 0x%lX", selector, hr);
        break;
    }
    default: break;
    }
}

size_t ListCount()
{
    return SimCountBlocks(SimBlockKind::ItemList, false) +
           SimCountBlocks(SimBlockKind::ItemList, true);
}

// GetItemCount lets go of the list it holds before it fetches (the driver is not told): when no
// new list came, the object's last list is gone without a hand-back, by design. GetItemCount
// always locks once it lets go; GetDriverSelectedItem calls it after a query of its own.
void Fuzzer::NoteRefetch(unsigned op, size_t listsBefore)
{
    const std::vector<SimCall> log = SimCalls();
    std::map<unsigned, unsigned> locks;
    for (size_t i = m_stepCalls.back(); i < log.size(); ++i) {
        if (log[i].kind == SimCallKind::LockDevice)
            ++locks[log[i].deviceObject];
    }
    for (const auto &entry : locks) {
        if (entry.second < (op == OP_DRIVER_SELECTED ? 2u : 1u))
            continue;
        if (ListCount() == listsBefore)
            m_listDropped.insert(entry.first);
        else
            m_listDropped.erase(entry.first);
    }
}

bool HasText(const std::string &text, const char *part)
{
    return text.find(part) != std::string::npos;
}

// Which violations of this step the design allows: item lists that a refetch dropped, and a
// block whose hand-back failed at the lock or at the driver in the step that released its device
// object. Everything else is a fault.
void Fuzzer::AfterStep()
{
    const std::vector<std::string> violations = SimTakeViolations();
    if (violations.empty() || m_failed)
        return;
    const std::vector<SimCall> log = SimCalls();
    const std::vector<SimEscape> escapes = SimEscapes();
    const std::vector<SimBlockInfo> blocks = SimBlocks();
    const size_t stepStart = m_stepCalls.back();
    std::map<unsigned, unsigned> listViolations;
    for (const std::string &violation : violations) {
        unsigned object = 0;
        sscanf(violation.c_str(), "device object %u:", &object);
        const bool list = HasText(violation, "item list not handed back before");
        const bool settings = HasText(violation, "scan-settings block not handed back before");
        const bool capabilities = HasText(violation, "capabilities block not handed back before");
        if (!list && !settings && !capabilities) {
            Fail("driver protocol violation: " + violation);
            return;
        }
        // Did a lock or a free request of this block kind fail on that object in this step?
        const DWORD which = list       ? FREE_ITEM_LIST
                            : settings ? FREE_SCAN_SETTINGS
                                       : FREE_CAPABILITIES;
        bool refused = false;
        for (size_t i = stepStart; i < log.size(); ++i) {
            const SimCall &call = log[i];
            if (call.deviceObject != object || !FAILED(call.result))
                continue;
            if (call.kind == SimCallKind::LockDevice)
                refused = true;
            if (call.kind == SimCallKind::Escape && call.argument == ESC_FREE_BLOCK &&
                escapes[call.escapeIndex].actualIn == which)
                refused = true;
        }
        if (list && !refused)
            ++listViolations[object];
        else if (!refused)
            Fail("driver protocol violation: " + violation);
    }
    // A list dropped by a refetch is not the object's last one: that one must have come back.
    for (const auto &entry : listViolations) {
        std::set<const void *> handedBack;
        for (const SimEscape &escape : escapes) {
            if (escape.deviceObject == entry.first && escape.code == ESC_FREE_BLOCK &&
                escape.actualIn == FREE_ITEM_LIST && SUCCEEDED(escape.result) &&
                escape.inBytes.size() >= sizeof(ItemListHeader)) {
                const void *items = nullptr;
                memcpy(&items, escape.inBytes.data() + offsetof(ItemListHeader, items),
                       sizeof(items));
                handedBack.insert(items);
            }
        }
        const void *last = nullptr;
        unsigned kept = 0;
        for (const SimBlockInfo &block : blocks) {
            if (block.kind == SimBlockKind::ItemList && block.deviceObject == entry.first) {
                last = block.address;
                kept += handedBack.count(block.address) == 0 ? 1 : 0;
            }
        }
        const bool lastExcused = m_listDropped.count(entry.first) != 0;
        if ((handedBack.count(last) == 0 && !lastExcused) || kept != entry.second)
            Fail("device object " + std::to_string(entry.first) +
                 ": its last item list was not handed back");
    }
}

// Every successful lock is undone before the next lock of the same object and before the call
// returns to the client.
void Fuzzer::CheckEnd()
{
    const std::vector<SimCall> log = SimCalls();
    std::map<unsigned, bool> held;
    size_t step = 0;
    for (size_t i = 0; i < log.size(); ++i) {
        while (step + 1 < m_stepCalls.size() && m_stepCalls[step + 1] <= i) {
            for (const auto &entry : held) {
                if (entry.second)
                    Fail("step " + std::to_string(step + 1) +
                         " returned with the device lock held");
            }
            ++step;
        }
        const SimCall &call = log[i];
        ++calls;
        failedCalls += FAILED(call.result) ? 1 : 0;
        if (call.kind == SimCallKind::LockDevice && SUCCEEDED(call.result)) {
            if (held[call.deviceObject])
                Fail("a lock taken while the same device object held it");
            held[call.deviceObject] = true;
        } else if (call.kind == SimCallKind::UnLockDevice) {
            held[call.deviceObject] = false;
        }
    }
    for (const auto &entry : held) {
        if (entry.second)
            Fail("the last step returned with the device lock held");
    }
    const SimCounters counters = SimGetCounters();
    if (counters.liveDevices != 0 || counters.liveServices != 0)
        Fail("STI objects alive after the last release: " + std::to_string(counters.liveServices) +
             " services, " + std::to_string(counters.liveDevices) + " devices");
}

void Fuzzer::RunSequence(unsigned long long index)
{
    m_sequence = index;
    m_rng = Rng(m_options.seed * 0x9E3779B97F4A7C15ull + index);
    m_failed = false;
    m_listDropped.clear();
    m_trace.clear();
    m_stepCalls.clear();
    SimReset();
    PrepareUserKey();
    BuildWorld();
    const std::wstring longKey = LongText(L'k');
    m_texts = {L"",       L"Name",    L"Prefix", L"alice", L"bob",         L"J0.tif",
               L"J1.gif", L"Quillon", longKey,   L"%s%n",  L"Scan, Colour"};
    Inject();
    if (m_options.verbose)
        printf("sequence %llu\n", index);

    m_bridge = new CStiScannerComBridge(&SimStiCreateInstance);
    const auto run = [this](unsigned op) {
        const bool fetches = op == OP_GET_ITEM_COUNT || op == OP_DRIVER_SELECTED;
        const size_t lists = fetches ? ListCount() : 0;
        m_stepCalls.push_back(SimCallCount());
        Step(op);
        ++steps;
        if (fetches)
            NoteRefetch(op, lists);
        AfterStep();
    };
    m_itemCount = 0;
    m_current.clear();
    m_road = true;
    if (m_rng.Chance(85)) {
        for (Op op : ROAD) {
            if (m_rng.Chance(85))
                run(op);
        }
    }
    m_road = false;
    for (unsigned n = m_rng.Below(MAX_RANDOM_STEPS + 1); n > 0; --n)
        run(m_rng.Below(OP_COUNT));

    const bool close = m_rng.Chance(50);
    m_stepCalls.push_back(SimCallCount());
    Log("%s", close ? "CloseDevice, Release" : "Release");
    if (close)
        m_bridge->CloseDevice();
    static_cast<IStiScannerComBridge *>(m_bridge)->Release();
    m_bridge = nullptr;
    AfterStep();
    CheckEnd();
}

void Fuzzer::Run()
{
    for (unsigned long long i = 0; i < m_options.sequences; ++i)
        RunSequence(m_options.first + i);
}

// The filing folders of the fuzz devices, one of them without a value.
std::vector<SimDevice> FilingDevices()
{
    std::vector<SimDevice> devices;
    const std::wstring paths[] = {L"C:\\Fuzz", L"D:\\Scan.Box\\" + std::wstring(240, L'f')};
    for (size_t i = 0; i < 2; ++i) {
        SimDevice device = SimMakeDevice(DEVICE_NAMES[i], L"", L"");
        device.filingPath = paths[i];
        devices.push_back(device);
    }
    return devices;
}

TEST(Fuzz, RandomCallSequencesKeepTheDriverProtocol)
{
    const Options options = ReadOptions();
    const std::vector<SimDevice> filing = FilingDevices();
    std::string log;
    ASSERT_EQ(ERROR_SUCCESS, SimWriteDeviceRegistry(filing, &log)) << log;
    const SimCounters before = SimGetCounters();
    ASSERT_EQ(0, before.liveDevices + before.liveServices) << "objects of an earlier test";

    SimGuardReleasedMemory(true);
    Fuzzer fuzzer(options);
    g_running = &fuzzer;
    const LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(CrashFilter);
    const ULONGLONG start = GetTickCount64();
    fuzzer.Run();
    const ULONGLONG elapsed = GetTickCount64() - start;
    SetUnhandledExceptionFilter(previous);
    g_running = nullptr;
    SimGuardReleasedMemory(false);
    SimReset();
    DeleteKeyTree(HKEY_CURRENT_USER, FUZZ_USER_KEY);
    SimDeleteDeviceRegistry(filing);

    printf("fuzz: seed %llu, sequences %llu..%llu, %llu steps, %llu calls on the STI objects "
           "(%llu failed), %llu injections, %.1f s\n",
           options.seed, options.first, options.first + options.sequences - 1, fuzzer.steps,
           fuzzer.calls, fuzzer.failedCalls, fuzzer.injections, elapsed / 1000.0);
    for (const auto &entry : fuzzer.findings)
        ADD_FAILURE() << entry.second.count << " sequence(s): " << entry.second.report;
}

class FuzzFinding : public BridgeTest
{
};

// Found by the fuzzer: a list that the driver delivered along with a failure was dropped, and
// the driver never got it back.
TEST_F(FuzzFinding, ListDeliveredWithAFailureGoesBack)
{
    AddScanner({SimMakeItem(L"a", L"a", L"S-1-1-0", L"a", 1, 8, 8, 8)});
    OpenScanner();
    SimInjection delivered = SimFailEscape(ESC_GET_ITEM_LIST, STIERR_OBJECTNOTFOUND);
    delivered.perform = true;
    SimInject(delivered);

    LONG count = -7;
    EXPECT_EQ(E_FAIL, bridge->GetItemCount(&count));
    EXPECT_EQ(-7, count) << "no count comes with a failure";
    EXPECT_EQ(S_OK, bridge->FreeItemList()) << "the delivered list goes back";
    ReleaseBridge();
    EXPECT_EQ(1u, SimCountBlocks(SimBlockKind::ItemList, true));
}

} // namespace
