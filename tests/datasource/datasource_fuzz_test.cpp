// The data source against applications that misbehave: seeded random triplets in states 4 to 7,
// and two applications on the same user's mailbox at once.
#include "datasource_test_support.h"
#include "e2e_support.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace {

// The triplets an application may send; the fuzzer also sends random values.
const struct
{
    TW_UINT32 group;
    TW_UINT16 dat, msg;
} TRIPLETS[] = {
    {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS}, {DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER},   {DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_GET},       {DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET},
    {DG_CONTROL, DAT_CAPABILITY, MSG_GET},         {DG_CONTROL, DAT_CAPABILITY, MSG_SET},
    {DG_CONTROL, DAT_CAPABILITY, MSG_RESET},       {DG_CONTROL, DAT_CAPABILITY, MSG_QUERYSUPPORT},
    {DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT},     {DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS},
    {DG_CONTROL, DAT_IDENTITY, MSG_OPENDS},        {DG_CONTROL, DAT_STATUS, MSG_GET},
    {DG_CONTROL, DAT_ENTRYPOINT, MSG_SET},         {DG_IMAGE, DAT_IMAGEINFO, MSG_GET},
    {DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET},          {DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET},
    {DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET},      {DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET},
};

// One random triplet. Its data is random bytes or none, but every pointer in it is one an
// application could pass (the source cannot check them): null, or memory of the right kind.
class Fuzzer
{
public:
    Fuzzer(TwainApp &app, unsigned long seed) : m_app(app), m_random(seed) {}

    TW_UINT16 SendOne()
    {
        const auto &known = TRIPLETS[Next() % (sizeof(TRIPLETS) / sizeof(TRIPLETS[0]))];
        const bool random = Next() % 5 == 0;
        const TW_UINT32 group = random ? Next() : known.group;
        const TW_UINT16 dat = random ? static_cast<TW_UINT16>(Next()) : known.dat;
        const TW_UINT16 msg = random ? static_cast<TW_UINT16>(Next()) : known.msg;
        union {
            BYTE bytes[512];
            TW_CAPABILITY capability;
            TW_IMAGEMEMXFER strip;
            TW_EVENT event;
            TW_ENTRYPOINT entry;
            TW_USERINTERFACE ui;
            TW_HANDLE dib;
        } data;
        for (BYTE &byte : data.bytes)
            byte = static_cast<BYTE>(Next() % 4 == 0 ? Next() : Next() % 8);
        std::vector<BYTE> buffer(Next() % (96 * 1024));
        HGLOBAL container = GlobalAlloc(GHND, 8 + Next() % 64);
        if (dat == DAT_CAPABILITY) {
            data.capability.hContainer = Next() % 2 ? container : nullptr;
        } else if (dat == DAT_IMAGEMEMXFER) {
            data.strip.Memory.Flags = TWMF_APPOWNS | TWMF_POINTER;
            data.strip.Memory.Length = static_cast<TW_UINT32>(buffer.size());
            data.strip.Memory.TheMem = buffer.data();
        } else if (dat == DAT_EVENT) {
            data.event.pEvent = nullptr;
        } else if (dat == DAT_ENTRYPOINT) {
            memset(&data.entry.DSM_Entry, 0,
                   sizeof(data.entry) - offsetof(TW_ENTRYPOINT, DSM_Entry));
        } else if (dat == DAT_USERINTERFACE) {
            data.ui.hParent = nullptr;
        }
        const bool none = Next() % 12 == 0;
        const TW_UINT16 rc = m_app.Send(group, dat, msg, none ? nullptr : &data);
        // What the source handed over is the application's to free.
        if (!none && dat == DAT_CAPABILITY && data.capability.hContainer != container)
            m_app.FreeContainer(data.capability.hContainer);
        if (!none && dat == DAT_IMAGENATIVEXFER && rc == TWRC_XFERDONE)
            GlobalFree(data.dib);
        GlobalFree(container);
        return rc;
    }

private:
    TW_UINT32 Next() { return static_cast<TW_UINT32>(m_random()); }

    TwainApp &m_app;
    std::mt19937 m_random;
};

class SourceFuzz : public SourceTest
{
};

TEST_F(SourceFuzz, RandomTripletsNeitherCrashNorHangNorLeakASession)
{
    const unsigned long total = Options().fuzzTriplets;
    const unsigned long seed = Options().fuzzSeed;
    Use(L"mailbox.scn");
    Fuzzer fuzzer(app, seed);
    ULONGLONG slowest = 0;
    unsigned long sent = 0;
    while (sent < total) {
        // An episode: an open source, random triplets, then the application's way out.
        ASSERT_EQ(app.Open(), TWRC_SUCCESS) << "condition " << app.Condition() << " after " << sent;
        for (unsigned long n = 20 + sent % 200; n > 0 && sent < total; --n, ++sent) {
            const ULONGLONG start = GetTickCount64();
            const TW_UINT16 rc = fuzzer.SendOne();
            slowest = std::max(slowest, GetTickCount64() - start);
            ASSERT_LE(rc, TWRC_DATANOTAVAILABLE) << "triplet " << sent << " of seed " << seed;
        }
        app.Close();
        app.TakeMessages();
    }
    app.Unload();
    std::printf("fuzzer: %lu triplets, seed %lu, slowest %llu ms\n", sent, seed,
                static_cast<unsigned long long>(slowest));
    EXPECT_TRUE(WaitForNoServer(20000)) << "every bridge session was handed back";

    // Afterwards a normal session acquires every page.
    Use(L"mailbox.scn");
    OpenAndEnable(MSG_XFERREADY);
    TransferPages(EVERY_READY_PAGE, false);
    app.Close();
}

// One of two applications a test started at once: acquires natively whatever is pending; each
// page either arrives or fails with a condition code.
TEST(SourceWorker, AcquiresAsOneOfTwoApplications)
{
    if (Options().workerScenario.empty())
        GTEST_SKIP() << "run by SourceTwoApplications";
    TwainApp app;
    ASSERT_TRUE(app.Load(SourcePath()));
    TW_USERINTERFACE ui = {};
    if (app.Open() != TWRC_SUCCESS ||
        app.Send(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) != TWRC_SUCCESS) {
        EXPECT_NE(app.Condition(), TWCC_SUCCESS) << "a failure says why";
        return;
    }
    TW_PENDINGXFERS pending = {};
    pending.Count = 1;
    while (pending.Count != 0) {
        TW_HANDLE dib = nullptr;
        const TW_UINT16 rc = app.Send(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib);
        if (rc == TWRC_XFERDONE)
            GlobalFree(dib);
        else
            EXPECT_TRUE(rc == TWRC_FAILURE && app.Condition() != TWCC_SUCCESS) << "rc " << rc;
        ASSERT_EQ(app.Send(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
    }
    app.Close();
}

class SourceTwoApplications : public SourceTest
{
};

TEST_F(SourceTwoApplications, EachGetsItsPagesOrAClearFailureAndEveryJobGoesOnce)
{
    Use(L"mailbox.scn", 1);
    // This application's own session keeps the server, and the driver's memory of deletions, for
    // the look at the mailbox afterwards.
    ASSERT_EQ(app.Open(), TWRC_SUCCESS);
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" --gtest_filter=SourceWorker.* --ds=" +
                           SourcePath() + L" --worker-scenario=" + scenario;
    HANDLE workers[2] = {};
    for (HANDLE &worker : workers) {
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &startup, &info));
        CloseHandle(info.hThread);
        worker = info.hProcess;
    }
    for (HANDLE worker : workers) {
        DWORD code = 1;
        EXPECT_TRUE(WaitForExit(worker, 120000, &code)) << "an application hung";
        EXPECT_EQ(code, 0u);
        CloseHandle(worker);
    }
    // The mailbox is empty now: each job went, and the driver refuses a job that is gone.
    TW_USERINTERFACE ui = {};
    ASSERT_EQ(app.Send(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
    EXPECT_EQ(app.TakeMessages(), std::vector<TW_UINT16>{MSG_CLOSEDSREQ});
    app.Close();
}

} // namespace
