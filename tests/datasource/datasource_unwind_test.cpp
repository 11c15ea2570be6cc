// The data source on the paths real applications take beyond the plain session: error paths that
// unwind from any state, an application that closes the source from inside its callback, a
// TWAIN 1 manager, pages the driver fails, palettes of the driver's own and a server that dies.
#include "datasource_test_support.h"
#include "e2e_support.h"

#include <cstring>

namespace {

TW_UINT16 SendUI(TwainApp &app, TW_UINT16 msg, BOOL showUI = FALSE, HWND parent = nullptr)
{
    TW_USERINTERFACE ui = {};
    ui.ShowUI = showUI;
    ui.hParent = parent;
    return app.Send(DG_CONTROL, DAT_USERINTERFACE, msg, &ui);
}

TW_UINT16 CloseSource(TwainApp &app)
{
    TW_IDENTITY source = app.SourceIdentity();
    return app.Send(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source);
}

// One memory strip of up to `rows` rows of a page `padded` bytes wide.
TW_UINT16 MemoryStrip(TwainApp &app, std::vector<BYTE> *buffer)
{
    TW_IMAGEMEMXFER strip = {};
    strip.Memory.Flags = TWMF_APPOWNS | TWMF_POINTER;
    strip.Memory.Length = static_cast<TW_UINT32>(buffer->size());
    strip.Memory.TheMem = buffer->data();
    return app.Send(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &strip);
}

class SourceUnwinding : public SourceTest
{
};

TEST_F(SourceUnwinding, ClosesFromEveryStateAndOpensAgainWithNothingDeleted)
{
    enum Step
    {
        CLOSE,           // MSG_CLOSEDS at once
        DISABLE_CLOSE,   // MSG_DISABLEDS, then MSG_CLOSEDS
        UNLOAD_UNCLOSED, // FreeLibrary with the session open
    };
    struct Case
    {
        const char *what;
        int state;
        Step step;
    };
    const Case cases[] = {
        {"window shown", 5, CLOSE},
        {"enabled", 6, DISABLE_CLOSE},
        {"mid page", 7, CLOSE},
        {"mid page, disabled", 7, DISABLE_CLOSE},
        {"mid page, unloaded", 7, UNLOAD_UNCLOSED},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.what);
        Use(L"mailbox.scn", 1);
        ASSERT_EQ(app.Open(), TWRC_SUCCESS);
        ASSERT_EQ(SetOneValue(ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY), TWRC_SUCCESS);
        ASSERT_EQ(SendUI(app, MSG_ENABLEDS, test.state == 5), TWRC_SUCCESS);
        std::vector<BYTE> buffer(64 * 1024);
        if (test.state == 7) {
            ASSERT_EQ(MemoryStrip(app, &buffer), TWRC_SUCCESS);
        }
        if (test.step == UNLOAD_UNCLOSED) {
            FreeLibrary(app.Module());
            app.ForgetModule();
        } else {
            if (test.step == DISABLE_CLOSE) {
                EXPECT_EQ(SendUI(app, MSG_DISABLEDS), TWRC_SUCCESS);
            }
            EXPECT_EQ(CloseSource(app), TWRC_SUCCESS) << "condition " << app.Condition();
            // The source opens again in the same process.
            EXPECT_EQ(app.Open(), TWRC_SUCCESS);
            EXPECT_EQ(CloseSource(app), TWRC_SUCCESS);
        }
        EXPECT_EQ(CountInReport("Escape:1008"), 0u) << "a job not transferred whole stays";
        EXPECT_NE(ReadReport(E2eDir() + L"\\source-report.txt").find("devices-alive 0"),
                  std::string::npos)
            << "the session was handed back";
    }
}

TEST_F(SourceUnwinding, AnApplicationMayCloseAndUnloadTheSourceFromItsCallback)
{
    Use(L"mailbox.scn");
    const std::wstring path = SourcePath();
    TW_UINT16 closed = TWRC_FAILURE;
    // As a TWAIN 2 manager does for an application that closes at once: MSG_CLOSEDS, then
    // FreeLibrary, all inside the source's MSG_XFERREADY.
    app.onMessage = [&](TW_UINT16) {
        SendUI(app, MSG_DISABLEDS);
        closed = CloseSource(app);
        FreeLibrary(app.Module());
        app.ForgetModule();
    };
    ASSERT_EQ(app.Open(), TWRC_SUCCESS);
    EXPECT_EQ(SendUI(app, MSG_ENABLEDS), TWRC_SUCCESS);
    EXPECT_EQ(closed, TWRC_SUCCESS);
    EXPECT_EQ(app.TakeMessages(), std::vector<TW_UINT16>{MSG_XFERREADY});
    app.onMessage = nullptr;

    // Loaded again, it serves a whole session and then leaves the process when unloaded.
    ASSERT_TRUE(app.Load(path));
    OpenAndEnable(MSG_XFERREADY);
    TransferPages(EVERY_READY_PAGE, false);
    app.Close();
    app.Unload();
    EXPECT_EQ(GetModuleHandleW(path.c_str()), nullptr) << "no reference of its own is left";
}

TEST_F(SourceUnwinding, ATwain1ManagersApplicationIsWokenAndGetsGlobalMemory)
{
    HWND window = CreateWindowExW(0, L"STATIC", L"application", WS_POPUP, 0, 0, 10, 10, nullptr,
                                  nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    Use(L"mailbox.scn");
    ASSERT_EQ(app.Open(false), TWRC_SUCCESS);
    TW_CAPABILITY capability = {ICAP_XFERMECH, 0, nullptr};
    ASSERT_EQ(app.Send(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &capability), TWRC_SUCCESS);
    EXPECT_GE(GlobalSize(capability.hContainer), sizeof(TW_ENUMERATION)) << "a global handle";
    EXPECT_EQ(GlobalFree(capability.hContainer), nullptr);

    // The message waits for DAT_EVENT, and a posted message makes the blocking loop return.
    ASSERT_EQ(SendUI(app, MSG_ENABLEDS, FALSE, window), TWRC_SUCCESS);
    EXPECT_TRUE(app.TakeMessages().empty()) << "no callback without a TWAIN 2 manager";
    EXPECT_EQ(app.PumpBlocking(5000), MSG_XFERREADY);
    TransferPages(EVERY_READY_PAGE, false);
    EXPECT_EQ(SendUI(app, MSG_DISABLEDS), TWRC_SUCCESS);

    // A request left in the queue goes with the session: the next one starts without it.
    Use(L"empty.scn");
    ASSERT_EQ(app.Open(false), TWRC_SUCCESS);
    ASSERT_EQ(SendUI(app, MSG_ENABLEDS, FALSE, window), TWRC_SUCCESS);
    EXPECT_EQ(SendUI(app, MSG_DISABLEDS), TWRC_SUCCESS);
    ASSERT_EQ(SendUI(app, MSG_ENABLEDS, TRUE, window), TWRC_SUCCESS);
    EXPECT_EQ(app.PumpBlocking(300), MSG_NULL) << "no stale MSG_CLOSEDSREQ";
    app.Close();
    DestroyWindow(window);
}

class SourcePages : public SourceTest
{
};

TEST_F(SourcePages, APageTheDriverFailsIsNeverDeliveredNorDeleted)
{
    struct Case
    {
        const wchar_t *scenario;
        bool memory;
    };
    const Case cases[] = {
        {L"strip_fails.scn", true}, {L"page_ends_early.scn", true}, {L"native_fails.scn", false}};
    for (const Case &test : cases) {
        SCOPED_TRACE(testing::Message() << test.scenario);
        Use(test.scenario, 1);
        OpenAndEnable(MSG_XFERREADY, test.memory ? TWSX_MEMORY : TWSX_NATIVE);
        std::vector<BYTE> buffer(1800 * 7);
        TW_HANDLE dib = nullptr;
        TW_UINT16 rc = TWRC_SUCCESS;
        if (test.memory) {
            while (rc == TWRC_SUCCESS)
                rc = MemoryStrip(app, &buffer);
        } else {
            rc = app.Send(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib);
        }
        EXPECT_EQ(rc, TWRC_FAILURE);
        EXPECT_EQ(app.Condition(), TWCC_OPERATIONERROR);
        // Trying again never hands out the rows after the failed ones.
        rc = test.memory ? MemoryStrip(app, &buffer)
                         : app.Send(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib);
        EXPECT_EQ(rc, TWRC_FAILURE);
        EXPECT_EQ(app.Condition(), TWCC_SEQERROR);
        TW_PENDINGXFERS pending = {};
        ASSERT_EQ(app.Send(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
        TransferPages({{L"JOB0001.tif", 2}, {L"JOB0002.tif", 1}}, test.memory, 7);
        app.Close();
        EXPECT_EQ(CountInReport("Escape:1008"), 1u) << "only the job that arrived whole goes";
    }
}

TEST_F(SourcePages, KeepsThePaletteTheDriverSends)
{
    Use(L"palettes.scn");
    OpenAndEnable(MSG_XFERREADY);
    TransferPages({{L"JOB0001.tif", 1}, {L"JOB0002.tif", 1}, {L"JOB0003.tif", 1}}, false);
    app.Close();
    // Entry 0 as the driver sent it: white; grey rebuilt from the rows where the header claimed
    // 300 colours; white.
    const BYTE first[] = {255, 0, 255};
    ASSERT_EQ(palettes.size(), 3u);
    for (size_t i = 0; i < palettes.size(); ++i)
        EXPECT_EQ(palettes[i].front().rgbGreen, first[i]) << "page " << i + 1;
}

// Ends the server in the middle of a memory transfer. Under Wine a killed server's class
// registration stays until the prefix's wineserver restarts, so the test run restarts it between
// these two tests; Windows' COM starts a fresh server at once.
class SourceServerDeath : public SourceTest
{
};

TEST_F(SourceServerDeath, FailsTheTransferAndUnwinds)
{
    Use(L"mailbox.scn", 1);
    OpenAndEnable(MSG_XFERREADY, TWSX_MEMORY);
    std::vector<BYTE> buffer(1800 * 7);
    ASSERT_EQ(MemoryStrip(app, &buffer), TWRC_SUCCESS);
    ASSERT_TRUE(KillServer());
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(MemoryStrip(app, &buffer), TWRC_FAILURE);
    EXPECT_EQ(app.Condition(), TWCC_CHECKDEVICEONLINE);
    EXPECT_EQ(Ask(app, MSG_GETCURRENT, CAP_DEVICEONLINE).value, static_cast<TW_UINT32>(FALSE));
    TW_PENDINGXFERS pending = {};
    EXPECT_EQ(app.Send(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
    EXPECT_EQ(pending.Count, 0) << "nothing more comes from a server that went";
    EXPECT_EQ(SendUI(app, MSG_DISABLEDS), TWRC_SUCCESS);
    EXPECT_EQ(CloseSource(app), TWRC_SUCCESS);
    EXPECT_LT(GetTickCount64() - start, 20000u) << "unwinding does not wait for the dead server";
}

TEST_F(SourceServerDeath, ThenANewSessionAcquiresEveryPage)
{
    // No job of the session the server's death ended was deleted.
    Use(L"mailbox.scn", 1);
    OpenAndEnable(MSG_XFERREADY);
    TransferPages(EVERY_READY_PAGE, false);
    app.Close();
}

} // namespace
