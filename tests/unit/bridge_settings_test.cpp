// Scan settings: the reading and writing tables against the driver's block, the fixed values,
// the composed settings name, and the fetch and hand-back of the settings and capability blocks.
#include "bridge_fixture.h"

#include <algorithm>
#include <array>
#include <cwchar>
#include <iterator>
#include <string>
#include <vector>

namespace {

// pixelType, paperSize, resolution, formatCode, settingFlag: the order GetScanSettings writes.
using Codes = std::array<USHORT, 5>;
// Driver values of 4103, 38917, 6147, 38933 and 38918.
using DriverValues = std::array<LONG, 5>;
const DWORD SETTING_IDS[] = {PROP_DATATYPE, PROP_PAPER_SIZE, PROP_XRES, PROP_FORMAT,
                             PROP_SETTING_FLAG};

constexpr USHORT UNWRITTEN = 0xBEEF;

// A scripted answer for one call, counted from when it is injected.
SimInjection Once(SimPoint point, DWORD code, HRESULT result, bool perform = false,
                  unsigned call = 1)
{
    SimInjection injection = SimFailCall(point, result);
    injection.escapeCode = code;
    injection.perform = perform;
    injection.firstCall = call;
    injection.count = 1;
    return injection;
}

std::vector<SimProperty> Block(const DriverValues &values)
{
    std::vector<SimProperty> records;
    for (size_t i = 0; i < values.size(); ++i)
        records.push_back(SimIntProperty(SETTING_IDS[i], values[i]));
    return records;
}

// The values of every record of id in the block the driver last accepted, in record order.
std::vector<LONG> Sent(DWORD id)
{
    std::vector<LONG> values;
    const std::vector<SimAppliedSettings> applied = SimSettingsApplied();
    if (!applied.empty()) {
        for (const auto &record : applied.back().values) {
            if (record.first == id)
                values.push_back(record.second);
        }
    }
    return values;
}

std::wstring SentName()
{
    const std::vector<SimAppliedSettings> applied = SimSettingsApplied();
    return applied.empty() ? L"<nothing applied>" : applied.back().settingsName;
}

class SettingsTest : public BridgeTest
{
protected:
    // The scanner opened under settings prefix "P" and settings name "N".
    void OpenSettings()
    {
        AddScanner();
        ASSERT_NO_FATAL_FAILURE(OpenScanner());
        ASSERT_EQ(bridge->OpenAccount(L"N", L"P", TEST_ACCOUNT), S_OK);
    }

    HRESULT Read(Codes &c) { return bridge->GetScanSettings(&c[0], &c[1], &c[2], &c[3], &c[4]); }
    HRESULT Map(Codes &c) { return bridge->MapScanSettings(&c[0], &c[1], &c[2], &c[3], &c[4]); }

    HRESULT Write(const wchar_t *text, const Codes &codes = {}, USHORT sizeVariant = 0)
    {
        return bridge->SetScanSettings(text, codes[0], codes[1], codes[2], codes[3], sizeVariant,
                                       codes[4]);
    }

    static SimAccount &Account() { return *SimFindAccount(TEST_DEVICE, TEST_ACCOUNT); }

    // The scan-settings block the bridge holds, in driver memory.
    static PropertyBlock *HeldBlock()
    {
        for (const SimBlockInfo &block : SimBlocks()) {
            if (block.kind == SimBlockKind::ScanSettings && !block.released)
                return static_cast<PropertyBlock *>(const_cast<void *>(block.address));
        }
        return nullptr;
    }
};

TEST_F(SettingsTest, WritingTableReachesTheDriverAndReadsBack)
{
    struct Row
    {
        Codes written;
        USHORT sizeVariant;
        DriverValues sent;
        Codes read;
    };
    const Row rows[] = {
        {{0, 52, 100, 0, 0}, 0, {0, 3, 0, 1, 0}, {0, 3, 100, 0, 0}},
        {{1, 52, 150, 4, 1}, 1, {0, 2, 5, 0, 1}, {0, 52, 150, 4, 1}},
        {{2, 3, 200, 6, 7}, 0, {3, 0, 1, 2, 1}, {2, 0, 200, 6, 1}},
        {{2, 1, 250, 2, 0}, 0, {3, 10, 4, 5, 0}, {2, 1, 600, 2, 0}},
        {{3, 1, 72, 9, 0}, 3, {0, 11, 6, 2, 0}, {0, 1, 72, 6, 0}},
        {{1, 4, 300, 0, 1}, 0, {0, 6, 2, 1, 1}, {0, 4, 300, 0, 1}},
        {{0, 5, 400, 4, 0}, 0, {0, 8, 3, 0, 0}, {0, 5, 400, 4, 0}},
        {{0, 5, 600, 0, 0}, 1, {0, 9, 4, 1, 0}, {0, 5, 600, 0, 0}},
        {{0, 9, 100, 0, 0}, 0, {0, 7, 0, 1, 0}, {0, 10, 100, 0, 0}},
        {{0, 10, 100, 0, 0}, 1, {0, 7, 0, 1, 0}, {0, 10, 100, 0, 0}},
        {{0, 11, 100, 0, 0}, 1, {0, 12, 0, 1, 0}, {0, 11, 100, 0, 0}},
        {{0, 0, 100, 0, 0}, 1, {0, 0, 0, 1, 0}, {0, 0, 100, 0, 0}},
    };
    ASSERT_NO_FATAL_FAILURE(OpenSettings());
    Codes codes{};
    ASSERT_EQ(Read(codes), S_OK);
    SimClearLog();

    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << "row " << (&row - rows));
        ASSERT_EQ(Write(L"Row", row.written, row.sizeVariant), S_OK);
        for (size_t i = 0; i < row.sent.size(); ++i)
            EXPECT_EQ(Sent(SETTING_IDS[i]), std::vector<LONG>{row.sent[i]}) << SETTING_IDS[i];
        // The driver's block starts with other values in every fixed record.
        EXPECT_EQ(Sent(PROP_FIXED_38920), std::vector<LONG>{0});
        EXPECT_EQ(Sent(PROP_FIXED_38938), std::vector<LONG>{3});
        EXPECT_EQ(Sent(PROP_FIXED_38936), std::vector<LONG>{0});
        EXPECT_EQ(Sent(PROP_FIXED_38949), std::vector<LONG>{0});
        EXPECT_EQ(Sent(PROP_FIXED_38953), std::vector<LONG>{0});
        codes.fill(UNWRITTEN);
        ASSERT_EQ(Read(codes), S_OK);
        EXPECT_EQ(codes, row.read);
    }
    // The held block is read as edited; every read opens the settings phase.
    EXPECT_EQ(SimCountEscapes(ESC_GET_SCAN_SETTINGS), 0u);
    EXPECT_EQ(SimCountEscapes(ESC_SET_SCAN_SETTINGS), std::size(rows));
    EXPECT_EQ(SimCountEscapes(ESC_BEGIN_SETTINGS), std::size(rows));
    EXPECT_EQ(SimCountEscapes(ESC_END_SETTINGS), 0u);
}

TEST_F(SettingsTest, ReadingTableDecodesEveryDriverValue)
{
    struct Row
    {
        DriverValues stored;
        Codes read;
    };
    const Row rows[] = {
        {{2, 0, 0, 0, 1}, {1, 0, 100, 4, 1}},    {{3, 1, 1, 1, 0}, {2, 52, 200, 0, 0}},
        {{0, 2, 2, 2, 2}, {0, 52, 300, 6, 0}},   {{1, 3, 3, 3, -1}, {0, 3, 400, 2, 0}},
        {{4, 4, 4, 5, 0}, {0, 3, 600, 2, 0}},    {{-1, 5, 5, -1, 1}, {0, 3, 150, 2, 1}},
        {{0, 6, 6, 0, 0}, {0, 4, 72, 4, 0}},     {{0, 7, 7, 0, 0}, {0, 10, 600, 4, 0}},
        {{0, 8, -1, 0, 0}, {0, 5, 600, 4, 0}},   {{0, 9, 0, 0, 0}, {0, 5, 100, 4, 0}},
        {{0, 10, 0, 0, 0}, {0, 1, 100, 4, 0}},   {{0, 11, 0, 0, 0}, {0, 1, 100, 4, 0}},
        {{0, 12, 0, 0, 0}, {0, 11, 100, 4, 0}},  {{0, 13, 0, 0, 0}, {0, 3, 100, 4, 0}},
        {{0, -1, 0, 0, 0}, {0, 3, 100, 4, 0}},
    };
    AddScanner();
    ASSERT_NO_FATAL_FAILURE(OpenScanner());
    Codes codes{};
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << "row " << (&row - rows));
        Account().settings = Block(row.stored);
        codes.fill(UNWRITTEN);
        ASSERT_EQ(Read(codes), S_OK);
        EXPECT_EQ(codes, row.read);
        // Handed back, so the next read fetches the block anew.
        ASSERT_EQ(bridge->FreeScanSettings(), S_OK);
    }
    EXPECT_EQ(SimCountEscapes(ESC_GET_SCAN_SETTINGS), std::size(rows));

    // An output whose property the block lacks is left as it was.
    Account().settings = {SimIntProperty(PROP_XRES, 5)};
    codes.fill(UNWRITTEN);
    ASSERT_EQ(Read(codes), S_OK);
    EXPECT_EQ(codes, (Codes{UNWRITTEN, UNWRITTEN, 150, UNWRITTEN, UNWRITTEN}));
}

TEST_F(SettingsTest, TwoRecordsOfOneIdReadTheLastAndWriteTheFirst)
{
    AddScanner();
    Account().settings.push_back(SimIntProperty(PROP_XRES, 3));   // after the standard 6147 = 2
    ASSERT_NO_FATAL_FAILURE(OpenScanner());
    Codes codes{};
    ASSERT_EQ(Read(codes), S_OK);
    EXPECT_EQ(codes[2], 400);

    ASSERT_EQ(Write(L"Twice", {0, 0, 72, 0, 0}), S_OK);
    EXPECT_EQ(Sent(PROP_XRES), (std::vector<LONG>{6, 3}));
    ASSERT_EQ(Read(codes), S_OK);
    EXPECT_EQ(codes[2], 400);
}

TEST_F(SettingsTest, SettingsNameJoinsTheStoredNameAndTheTokens)
{
    const std::wstring longWord(200, L'w');
    struct Row
    {
        const wchar_t *text;
        std::wstring expected;
    };
    const Row rows[] = {
        {L"  Scan,\tColour  A4  ", L"P_N__Scan_Colour_A4"},
        {L"one\ntwo", L"P_N__one_two"},
        {L" ,  , ", L"P_N_"},
        {L"", L"P_N_"},
        {nullptr, L"P_N_"},
        {longWord.c_str(), (L"P_N__" + longWord).substr(0, 127)},
    };
    ASSERT_NO_FATAL_FAILURE(OpenSettings());
    Codes codes{};
    ASSERT_EQ(Read(codes), S_OK);

    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << "row " << (&row - rows));
        std::vector<wchar_t> text;
        if (row.text != nullptr)
            text.assign(row.text, row.text + wcslen(row.text) + 1);
        const std::vector<wchar_t> before = text;
        ASSERT_EQ(Write(row.text != nullptr ? text.data() : nullptr), S_OK);
        EXPECT_EQ(text, before) << "the caller's text was changed";
        EXPECT_EQ(SentName(), row.expected);
        ASSERT_FALSE(SimSettingsApplied().empty());
        EXPECT_EQ(SimSettingsApplied().back().accountKey, TEST_ACCOUNT);
    }

    // A settings name stored for the user stands in for the value name.
    UniqueHKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, UserKeyPath().c_str(), 0, KEY_SET_VALUE, key.put()),
              ERROR_SUCCESS);
    const wchar_t stored[] = L"Stored";
    ASSERT_EQ(RegSetValueExW(key.get(), L"P_N", 0, REG_SZ, reinterpret_cast<const BYTE *>(stored),
                             sizeof(stored)),
              ERROR_SUCCESS);
    ASSERT_EQ(Write(L"A4"), S_OK);
    EXPECT_EQ(SentName(), L"Stored__A4");
}

TEST_F(SettingsTest, UnresolvedNameLeavesTheTokenNameAlone)
{
    // No device chosen: nothing to resolve, no block to write, nothing sent.
    EXPECT_EQ(Write(L"Scan"), E_FAIL);
    EXPECT_EQ(SimCountEscapes(0), 0u);

    // Without a per-user key the stored name cannot be resolved.
    AddScanner()->userDataKey.clear();
    ASSERT_NO_FATAL_FAILURE(OpenScanner());
    Codes codes{};
    ASSERT_EQ(Read(codes), S_OK);
    ASSERT_EQ(Write(L"  Scan,\tColour  A4  "), S_OK);
    EXPECT_EQ(SentName(), L"_Scan_Colour_A4");

    // The token name stops at 259 characters.
    const std::wstring a(100, L'a'), b(100, L'b'), c(100, L'c');
    ASSERT_EQ(Write((a + L" " + b + L"," + c).c_str()), S_OK);
    EXPECT_EQ(SentName(), (L"_" + a + L"_" + b + L"_" + c).substr(0, 259));
}

TEST_F(SettingsTest, MissingOptionalRecordIsSkippedMissingRequiredOneFails)
{
    AddScanner();
    const auto drop = [](DWORD id) {
        std::vector<SimProperty> &settings = Account().settings;
        settings.erase(std::remove_if(settings.begin(), settings.end(),
                                      [id](const SimProperty &p) { return p.id == id; }),
                       settings.end());
    };
    drop(PROP_FIXED_38936);
    ASSERT_NO_FATAL_FAILURE(OpenScanner());
    Codes codes{};
    ASSERT_EQ(Read(codes), S_OK);
    ASSERT_EQ(Write(L"x", {2, 11, 72, 6, 1}), S_OK);
    EXPECT_TRUE(Sent(PROP_FIXED_38936).empty());
    EXPECT_EQ(Sent(PROP_FIXED_38938), std::vector<LONG>{3});
    EXPECT_EQ(Sent(PROP_FIXED_38953), std::vector<LONG>{0});
    // A block the driver refuses fails the write, whatever the driver's reason.
    SimInject(Once(SimPoint::Escape, ESC_SET_SCAN_SETTINGS, E_ACCESSDENIED));
    EXPECT_EQ(Write(L"x"), E_FAIL);

    // Without 38920 the five settings are written into the block, but nothing is applied.
    ASSERT_EQ(bridge->FreeScanSettings(), S_OK);
    drop(PROP_FIXED_38920);
    ASSERT_EQ(Read(codes), S_OK);
    EXPECT_EQ(codes, (Codes{2, 11, 72, 6, 1}));
    SimClearLog();
    EXPECT_EQ(Write(L"y", {0, 4, 300, 4, 0}), E_FAIL);
    EXPECT_EQ(SimCountEscapes(ESC_SET_SCAN_SETTINGS), 0u);
    ASSERT_EQ(Read(codes), S_OK);
    EXPECT_EQ(codes, (Codes{0, 4, 300, 4, 0}));
    EXPECT_EQ(SimCountEscapes(ESC_GET_SCAN_SETTINGS), 0u);
}

TEST_F(SettingsTest, FetchOutcomes)
{
    const HRESULT denied = E_ACCESSDENIED;
    const HRESULT unlockFault = HRESULT_FROM_WIN32(ERROR_GEN_FAILURE);
    struct Row
    {
        const char *what;
        SimInjection injection;
        HRESULT expected;
        size_t fetches;
    };
    const Row rows[] = {
        {"begin fails", Once(SimPoint::Escape, ESC_BEGIN_SETTINGS, denied), E_FAIL, 0},
        {"begin lock fails", Once(SimPoint::LockDevice, 0, denied), E_FAIL, 0},
        {"fetch lock fails", Once(SimPoint::LockDevice, 0, denied, false, 2), denied, 0},
        {"fetch fails", Once(SimPoint::Escape, ESC_GET_SCAN_SETTINGS, denied), denied, 1},
        {"no block", Once(SimPoint::Escape, ESC_GET_SCAN_SETTINGS, S_OK), E_FAIL, 1},
        {"unlock fails", Once(SimPoint::UnLockDevice, 0, unlockFault, true, 2), unlockFault, 1},
        {"S_FALSE with a block", Once(SimPoint::Escape, ESC_GET_SCAN_SETTINGS, S_FALSE, true),
         S_OK, 1},
    };
    AddScanner();
    ASSERT_NO_FATAL_FAILURE(OpenScanner());
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        SimClearLog();
        SimInject(row.injection);
        Codes codes;
        codes.fill(UNWRITTEN);
        EXPECT_EQ(Read(codes), row.expected);
        EXPECT_EQ(SimCountEscapes(ESC_GET_SCAN_SETTINGS), row.fetches);
        if (SUCCEEDED(row.expected))
            EXPECT_EQ(codes, (Codes{2, 1, 300, 0, 0}));   // the standard block
        else
            EXPECT_EQ(codes, (Codes{UNWRITTEN, UNWRITTEN, UNWRITTEN, UNWRITTEN, UNWRITTEN}));
        SimClearInjections();
        // A block that came back with a failed unlock is still handed back at the end.
        if (row.expected != S_OK)
            bridge->FreeScanSettings();
    }
    // The block that arrived with S_FALSE is held: the next read asks nothing.
    SimClearLog();
    Codes codes{};
    EXPECT_EQ(Read(codes), S_OK);
    EXPECT_EQ(SimCountEscapes(ESC_GET_SCAN_SETTINGS), 0u);
    EXPECT_EQ(SimCountEscapes(ESC_BEGIN_SETTINGS), 1u);
}

TEST_F(SettingsTest, MissingOrEmptyRecordArrayFails)
{
    Codes codes;
    codes.fill(UNWRITTEN);
    EXPECT_EQ(Map(codes), E_FAIL);   // no block held

    PropertyRecord record = {};
    record.id = PROP_XRES;
    PropertyBlock local = {};
    local.properties = &record;   // but a count of 0
    EXPECT_EQ(bridge->SetPropertyValue(&local, PROP_XRES, 6), E_FAIL);
    EXPECT_EQ(record.value.number, 0);

    // A held block whose record array is missing is neither read, written nor applied.
    AddScanner();
    ASSERT_NO_FATAL_FAILURE(OpenScanner());
    ASSERT_EQ(Read(codes), S_OK);
    PropertyBlock *held = HeldBlock();
    ASSERT_NE(held, nullptr);
    PropertyRecord *const saved = held->properties;
    held->properties = nullptr;
    codes.fill(UNWRITTEN);
    EXPECT_EQ(Map(codes), E_FAIL);
    EXPECT_EQ(Read(codes), E_FAIL);
    EXPECT_EQ(codes, (Codes{UNWRITTEN, UNWRITTEN, UNWRITTEN, UNWRITTEN, UNWRITTEN}));
    EXPECT_EQ(bridge->SetPropertyValue(held, PROP_XRES, 6), E_FAIL);
    EXPECT_EQ(Write(L"x"), E_FAIL);
    EXPECT_EQ(bridge->ApplyScanSettings(), E_FAIL);
    EXPECT_EQ(SimCountEscapes(ESC_SET_SCAN_SETTINGS), 0u);
    held->properties = saved;
}

TEST_F(SettingsTest, BlocksAreHandedBackOnceAccepted)
{
    AddScanner();
    ASSERT_NO_FATAL_FAILURE(OpenScanner());
    Codes codes{};
    ASSERT_EQ(Read(codes), S_OK);
    SimClearLog();

    // A lock failure asks the device's last error for the settings block only.
    SimInject(Once(SimPoint::LockDevice, 0, E_ACCESSDENIED));
    EXPECT_EQ(bridge->FreeScanSettings(), E_ACCESSDENIED);
    EXPECT_EQ(SimCountCalls(SimCallKind::GetLastError), 1u);
    SimInject(Once(SimPoint::LockDevice, 0, E_ACCESSDENIED));
    EXPECT_EQ(bridge->FreeCapabilities(), E_ACCESSDENIED);
    EXPECT_EQ(SimCountCalls(SimCallKind::GetLastError), 1u);

    // A refused hand-back keeps the block for another try.
    SimInject(Once(SimPoint::Escape, ESC_FREE_BLOCK, E_INVALIDARG));
    EXPECT_EQ(bridge->FreeScanSettings(), E_INVALIDARG);
    EXPECT_EQ(bridge->FreeScanSettings(), S_OK);
    EXPECT_EQ(bridge->FreeScanSettings(), E_FAIL);
    EXPECT_EQ(bridge->FreeCapabilities(), S_OK);
    EXPECT_EQ(bridge->FreeCapabilities(), E_FAIL);

    std::vector<DWORD> actuals;
    for (const SimEscape &escape : SimEscapes()) {
        if (escape.code == ESC_FREE_BLOCK)
            actuals.push_back(escape.actualIn);
    }
    EXPECT_EQ(actuals, (std::vector<DWORD>{FREE_SCAN_SETTINGS, FREE_SCAN_SETTINGS,
                                           FREE_CAPABILITIES}));
    EXPECT_EQ(SimCountBlocks(SimBlockKind::ScanSettings, true), 1u);
    EXPECT_EQ(SimCountBlocks(SimBlockKind::Capabilities, false), 0u);

    // The next read fetches a fresh block.
    ASSERT_EQ(Read(codes), S_OK);
    EXPECT_EQ(SimCountEscapes(ESC_GET_SCAN_SETTINGS), 1u);
}

} // namespace
