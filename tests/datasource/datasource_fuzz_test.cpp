// The data source against applications that misbehave: seeded random triplets in states 4 to 7,
// and two applications on the same user's mailbox at once.
#include "datasource_test_support.h"
#include "e2e_support.h"

#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace {

const TW_UINT16 DATS[] = {
    DAT_CAPABILITY,  DAT_EVENT,         DAT_IDENTITY,        DAT_PENDINGXFERS,  DAT_SETUPMEMXFER,
    DAT_STATUS,      DAT_USERINTERFACE, DAT_XFERGROUP,       DAT_ENTRYPOINT,    DAT_IMAGEINFO,
    DAT_IMAGELAYOUT, DAT_IMAGEMEMXFER,  DAT_IMAGENATIVEXFER, DAT_IMAGEFILEXFER, DAT_SETUPFILEXFER};
const TW_UINT16 MSGS[] = {MSG_GET,        MSG_GETCURRENT,   MSG_GETDEFAULT,   MSG_SET,
                          MSG_RESET,      MSG_QUERYSUPPORT, MSG_OPENDS,       MSG_CLOSEDS,
                          MSG_ENABLEDS,   MSG_DISABLEDS,    MSG_PROCESSEVENT, MSG_ENDXFER,
                          MSG_USERSELECT, MSG_RESETALL};
const TW_UINT16 CAPS[] = {CAP_SUPPORTEDCAPS, CAP_XFERCOUNT, CAP_UICONTROLLABLE, CAP_INDICATORS,
                          CAP_DEVICEONLINE,  ICAP_XFERMECH, ICAP_PIXELTYPE,     ICAP_BITDEPTH,
                          ICAP_XRESOLUTION,  ICAP_UNITS,    ICAP_COMPRESSION,   ICAP_FRAMES};

// One random triplet with data an application could pass: random bytes, but every pointer in
// them points at memory of the right kind (the source cannot check an application's pointers).
class Fuzzer
{
public:
    Fuzzer(TwainApp &app, unsigned long seed) : m_app(app), m_random(seed) {}

    TW_UINT16 SendOne()
    {
        const bool plausible = Chance(4, 5);
        TW_UINT32 group = plausible ? (Chance(1, 3) ? DG_IMAGE : DG_CONTROL) : Next();
        TW_UINT16 dat = plausible ? Pick(DATS) : static_cast<TW_UINT16>(Next());
        TW_UINT16 msg = plausible ? Pick(MSGS) : static_cast<TW_UINT16>(Next());
        if (plausible && Chance(1, 2)) {
            // The triplets that move the states, more often than chance would send them.
            const struct
            {
                TW_UINT32 group;
                TW_UINT16 dat, msg;
            } moves[] = {{DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS},
                         {DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER},
                         {DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET},
                         {DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET},
                         {DG_IMAGE, DAT_IMAGEINFO, MSG_GET},
                         {DG_CONTROL, DAT_CAPABILITY, MSG_SET},
                         {DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT}};
            const auto &move = moves[Next() % (sizeof(moves) / sizeof(moves[0]))];
            group = move.group;
            dat = move.dat;
            msg = move.msg;
        }
        BYTE data[512];
        for (BYTE &byte : data)
            byte = static_cast<BYTE>(Next());
        Arrange(dat, data);
        void *argument = Chance(1, 12) ? nullptr : data;
        const TW_UINT16 rc = m_app.Send(group, dat, msg, argument);
        if (argument != nullptr)
            Collect(dat, rc, data);
        return rc;
    }

    // The user in the job window, now and then: Transfer or Cancel.
    void MaybePlayUser()
    {
        HWND window = FindWindowW(L"StiBridgeSourceJobs", nullptr);
        if (window != nullptr && Chance(1, 4))
            PostMessageW(window, WM_COMMAND, MAKEWPARAM(Chance(1, 2) ? IDOK : IDCANCEL, BN_CLICKED),
                         0);
        m_app.PumpUntilMessage(0);
        m_app.TakeMessages();
    }

private:
    TW_UINT32 Next() { return static_cast<TW_UINT32>(m_random()); }
    bool Chance(unsigned in, unsigned of) { return Next() % of < in; }
    template <size_t N> TW_UINT16 Pick(const TW_UINT16 (&values)[N]) { return values[Next() % N]; }

    void Arrange(TW_UINT16 dat, BYTE *data)
    {
        m_container = nullptr;
        m_strip = nullptr;
        switch (dat) {
        case DAT_CAPABILITY: {
            TW_CAPABILITY capability;
            memcpy(&capability, data, sizeof(capability));
            if (Chance(2, 3))
                capability.Cap = Pick(CAPS);
            if (Chance(2, 3))
                capability.ConType = TWON_ONEVALUE;
            capability.hContainer = nullptr;
            if (Chance(1, 2)) {
                m_container = GlobalAlloc(GHND, 8 + Next() % 64);
                BYTE *bytes = static_cast<BYTE *>(GlobalLock(m_container));
                for (SIZE_T i = 0; i < GlobalSize(m_container); ++i)
                    bytes[i] = static_cast<BYTE>(Chance(1, 2) ? Next() % 16 : Next());
                GlobalUnlock(m_container);
                capability.hContainer = m_container;
            }
            memcpy(data, &capability, sizeof(capability));
            break;
        }
        case DAT_IMAGEMEMXFER: {
            TW_IMAGEMEMXFER strip;
            memcpy(&strip, data, sizeof(strip));
            const TW_UINT32 size = Chance(1, 2) ? 64 * 1024 : Next() % (64 * 1024);
            strip.Memory.Length = size;
            if (Chance(1, 3)) {
                m_strip = GlobalAlloc(GHND, size + 1);
                strip.Memory.Flags = TWMF_APPOWNS | TWMF_HANDLE;
                strip.Memory.TheMem = m_strip;
            } else {
                m_buffer.resize(size + 1);
                strip.Memory.Flags = (strip.Memory.Flags & ~TWMF_HANDLE) | TWMF_POINTER;
                strip.Memory.TheMem = m_buffer.data();
            }
            memcpy(data, &strip, sizeof(strip));
            break;
        }
        case DAT_EVENT: {
            m_message = {};
            m_message.hwnd = Chance(1, 2) ? FindWindowW(L"StiBridgeSourceJobs", nullptr) : nullptr;
            const UINT messages[] = {WM_NULL, WM_KEYDOWN, WM_CHAR, WM_COMMAND, WM_TIMER};
            m_message.message = Chance(3, 4) ? messages[Next() % 5] : Next() & 0xFFFF;
            m_message.wParam = Chance(1, 2) ? VK_RETURN : Next();
            TW_EVENT event = {Chance(1, 8) ? nullptr : &m_message, static_cast<TW_UINT16>(Next())};
            memcpy(data, &event, sizeof(event));
            break;
        }
        case DAT_ENTRYPOINT: {
            // Pointers of the manager's own, or none; the size as sent or random.
            TW_ENTRYPOINT entry;
            memcpy(&entry, data, sizeof(entry));
            if (Chance(1, 2))
                entry.Size = sizeof(entry);
            entry.DSM_Entry = nullptr;
            entry.DSM_MemAllocate = nullptr;
            entry.DSM_MemFree = nullptr;
            entry.DSM_MemLock = nullptr;
            entry.DSM_MemUnlock = nullptr;
            memcpy(data, &entry, sizeof(entry));
            break;
        }
        case DAT_USERINTERFACE: {
            TW_USERINTERFACE ui;
            memcpy(&ui, data, sizeof(ui));
            ui.hParent = Chance(1, 2) ? nullptr : reinterpret_cast<TW_HANDLE>(Next() & 0xFFFF);
            memcpy(data, &ui, sizeof(ui));
            break;
        }
        default:
            break;
        }
    }

    // What the source handed over is the application's to free.
    void Collect(TW_UINT16 dat, TW_UINT16 rc, BYTE *data)
    {
        if (dat == DAT_CAPABILITY) {
            TW_CAPABILITY capability;
            memcpy(&capability, data, sizeof(capability));
            if (capability.hContainer != nullptr && capability.hContainer != m_container)
                m_app.FreeContainer(capability.hContainer);
        } else if (dat == DAT_IMAGENATIVEXFER && rc == TWRC_XFERDONE) {
            TW_HANDLE dib;
            memcpy(&dib, data, sizeof(dib));
            GlobalFree(dib);
        }
        if (m_container != nullptr)
            GlobalFree(m_container);
        if (m_strip != nullptr)
            GlobalFree(m_strip);
    }

    TwainApp &m_app;
    std::mt19937 m_random;
    HGLOBAL m_container = nullptr;
    HGLOBAL m_strip = nullptr;
    std::vector<BYTE> m_buffer;
    MSG m_message = {};
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
    std::mt19937 episodes(seed);
    ULONGLONG slowest = 0;
    unsigned long sent = 0;
    while (sent < total) {
        // An episode: an open source, random triplets, then the application's way out.
        if (app.Open() != TWRC_SUCCESS) {
            ADD_FAILURE() << "open failed with condition " << app.Condition() << " after " << sent;
            break;
        }
        for (unsigned long n = 20 + episodes() % 200; n > 0 && sent < total; --n, ++sent) {
            const ULONGLONG start = GetTickCount64();
            const TW_UINT16 rc = fuzzer.SendOne();
            const ULONGLONG took = GetTickCount64() - start;
            slowest = took > slowest ? took : slowest;
            ASSERT_LE(rc, TWRC_DATANOTAVAILABLE) << "triplet " << sent << " of seed " << seed;
            ASSERT_LT(took, 15000u) << "triplet " << sent << " of seed " << seed << " hung";
            if (sent % 8 == 0)
                fuzzer.MaybePlayUser();
        }
        app.Close();
        app.TakeMessages();
        if (episodes() % 4 == 0) {
            ASSERT_TRUE(app.Load(SourcePath()));
        }
    }
    app.Unload();
    std::printf("fuzzer: %lu triplets, seed %lu, slowest %llu ms\n", sent, seed,
                static_cast<unsigned long long>(slowest));
    EXPECT_TRUE(WaitForNoServer(20000)) << "every bridge session was handed back";

    // Afterwards a normal session acquires every page.
    Use(L"mailbox.scn");
    OpenAndEnable(MSG_XFERREADY);
    TransferPages({{L"JOB0001.tif", 1},
                   {L"JOB0001.tif", 2},
                   {L"JOB0001.tif", 3},
                   {L"JOB0002.tif", 1},
                   {L"JOB0003.tif", 1},
                   {L"JOB0003.tif", 2}},
                  false);
    app.Close();
}

// One of two applications a test started at once: acquires natively whatever is pending, and
// exits 0 when each page either arrived whole or failed with a condition code.
TEST(SourceWorker, AcquiresAsOneOfTwoApplications)
{
    if (Options().workerScenario.empty())
        GTEST_SKIP() << "run by SourceTwoApplications";
    TwainApp app;
    ASSERT_TRUE(app.Load(SourcePath()));
    const TW_UINT16 opened = app.Open();
    if (opened != TWRC_SUCCESS) {
        EXPECT_NE(app.Condition(), TWCC_SUCCESS) << "a failure says why";
        return;
    }
    TW_USERINTERFACE ui = {};
    const TW_UINT16 enabled = app.Send(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
    if (enabled != TWRC_SUCCESS) {
        EXPECT_NE(app.Condition(), TWCC_SUCCESS);
        app.Close();
        return;
    }
    unsigned whole = 0, failed = 0;
    TW_PENDINGXFERS pending = {};
    pending.Count = 1;
    while (pending.Count != 0) {
        TW_IMAGEINFO info = {};
        TW_HANDLE dib = nullptr;
        TW_UINT16 rc = app.Send(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info);
        if (rc == TWRC_SUCCESS)
            rc = app.Send(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib);
        if (rc == TWRC_XFERDONE) {
            ++whole;
            GlobalFree(dib);
        } else {
            ++failed;
            EXPECT_EQ(rc, TWRC_FAILURE);
            EXPECT_NE(app.Condition(), TWCC_SUCCESS) << "a failure says why";
        }
        ASSERT_EQ(app.Send(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
    }
    std::printf("worker: %u pages whole, %u failed\n", whole, failed);
    app.Close();
}

class SourceTwoApplications : public SourceTest
{
};

TEST_F(SourceTwoApplications, EachGetsWholePagesOrAClearFailureAndNoJobGoesTwice)
{
    Use(L"mailbox.scn", 1);
    // This application's own session keeps the server, and the driver's memory of deletions, for
    // the look at the mailbox afterwards.
    ASSERT_EQ(app.Open(), TWRC_SUCCESS);
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring command = L"\"" + std::wstring(self) +
                                 L"\" --gtest_filter=SourceWorker.* --ds=" + SourcePath() +
                                 L" --worker-scenario=" + scenario;
    HANDLE workers[2] = {};
    for (HANDLE &worker : workers) {
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        std::wstring line = command;
        ASSERT_TRUE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   &startup, &info));
        CloseHandle(info.hThread);
        worker = info.hProcess;
    }
    for (HANDLE worker : workers) {
        DWORD code = 1;
        EXPECT_TRUE(WaitForExit(worker, 120000, &code)) << "an application hung";
        EXPECT_EQ(code, 0u);
        CloseHandle(worker);
    }
    // Each job went once: the driver refuses to delete a job that is gone, and nothing else
    // went. The mailbox is empty now.
    TW_USERINTERFACE ui = {};
    ASSERT_EQ(app.Send(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
    EXPECT_EQ(app.TakeMessages(), std::vector<TW_UINT16>{MSG_CLOSEDSREQ});
    app.Close();
}

} // namespace
