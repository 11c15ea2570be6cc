// A bridge object in-process against the simulated STI service, with a supported scanner whose
// per-user key lives in a registry path of the test's own.
#pragma once

#include "bridge.h"
#include "owners.h"
#include "sim_sti.h"

#include <gtest/gtest.h>

#include <string>

// The test scanner: internal name, description and local name.
inline constexpr wchar_t TEST_DEVICE[] = L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0007";
inline constexpr wchar_t TEST_DESCRIPTION[] = L"Orvane Quillon 4410MFP TWAIN";
inline constexpr wchar_t TEST_LOCAL_NAME[] = L"Quillon";
inline constexpr wchar_t TEST_ACCOUNT[] = L"alice";
inline constexpr wchar_t TEST_USER_KEY_ROOT[] = L"Software\\StiBridgeTests";

class BridgeTest : public testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Adds the test scanner with an account TEST_ACCOUNT holding the given items; the device's
    // "UserDataKey" names UserKeyPath(). Returns the device as stored in the world.
    SimDevice *AddScanner(std::vector<SimItem> items = {});

    // CreateStillImage, EnumerateDevices choosing the one scanner, OpenAccount("Name",
    // "Prefix", account). Asserts every step.
    void OpenScanner(const wchar_t *account = TEST_ACCOUNT);

    // OpenScanner, then GetItemCount; returns the count.
    LONG OpenItems(const wchar_t *account = TEST_ACCOUNT);

    // The per-user key path under HKEY_CURRENT_USER, unique to this test; deleted at teardown.
    std::wstring UserKeyPath() const;

    // Releases the bridge as COM would; the tests then look at the world.
    void ReleaseBridge();

    CStiScannerComBridge *bridge = nullptr;
};
