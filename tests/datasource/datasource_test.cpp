// The data source as a TWAIN application sees it, loaded the way a TWAIN 2 source manager loads
// it, against the built server and the simulated scanner.
#include "datasource_test_support.h"
#include "e2e_support.h"
#include "progress_window.h"

#include <commctrl.h>
#include <objbase.h>
#include <initguid.h>
#include <wincodec.h>

#include <cstddef>
#include <cstring>
#include <thread>

namespace {

TW_UINT32 Fix32(int whole)
{
    return static_cast<TW_UINT16>(whole);
}

// Requests a TWAIN application may send in the wrong state, with bad data or unknown triplets.
struct BadRequest
{
    const char *what;
    TW_UINT32 group;
    TW_UINT16 dat;
    TW_UINT16 msg;
    bool withData;
    TW_UINT16 condition;
};

void ExpectRefused(TwainApp &app, const BadRequest &request)
{
    SCOPED_TRACE(request.what);
    BYTE data[256] = {};
    EXPECT_EQ(app.Send(request.group, request.dat, request.msg, request.withData ? data : nullptr),
              TWRC_FAILURE);
    EXPECT_EQ(app.Condition(), request.condition);
}

TEST(SourceEntry, IdentifiesItselfAndRefusesWhatComesOutOfTurn)
{
    TwainApp app;
    ASSERT_TRUE(app.Load(SourcePath()));
    TW_IDENTITY identity = {};
    identity.Id = 7;
    ASSERT_EQ(app.Send(DG_CONTROL, DAT_IDENTITY, MSG_GET, &identity), TWRC_SUCCESS);
    EXPECT_EQ(identity.Id, 7u) << "the manager's id stays";
    EXPECT_EQ(identity.SupportedGroups, static_cast<TW_UINT32>(DG_CONTROL | DG_IMAGE | DF_DS2));
    EXPECT_EQ(identity.ProtocolMajor, 2);
    EXPECT_STREQ(identity.ProductName, "STI Bridge Stored Jobs");
    EXPECT_STREQ(identity.Manufacturer, "tavrk");

    const BadRequest requests[] = {
        {"capability before open", DG_CONTROL, DAT_CAPABILITY, MSG_GET, true, TWCC_SEQERROR},
        {"enable before open", DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, true, TWCC_SEQERROR},
        {"close before open", DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, true, TWCC_SEQERROR},
        {"native transfer before open", DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, true,
         TWCC_SEQERROR},
        {"image info before open", DG_IMAGE, DAT_IMAGEINFO, MSG_GET, true, TWCC_SEQERROR},
        {"pending transfers before open", DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, true,
         TWCC_SEQERROR},
        {"event before enable", DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, true, TWCC_SEQERROR},
        {"unknown data argument", DG_CONTROL, 0x0777, MSG_GET, true, TWCC_BADPROTOCOL},
        {"file transfer", DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, true, TWCC_SEQERROR},
        {"audio group", DG_AUDIO, DAT_AUDIOINFO, MSG_GET, true, TWCC_BADPROTOCOL},
        {"identity with an odd message", DG_CONTROL, DAT_IDENTITY, MSG_USERSELECT, true,
         TWCC_BADPROTOCOL},
        {"identity without data", DG_CONTROL, DAT_IDENTITY, MSG_GET, false, TWCC_BADVALUE},
        {"entry points without data", DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, false, TWCC_BADVALUE},
        {"entry points too short", DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, true, TWCC_BADVALUE},
        {"status without data", DG_CONTROL, DAT_STATUS, MSG_GET, false, TWCC_BADVALUE},
    };
    for (const BadRequest &request : requests)
        ExpectRefused(app, request);
    EXPECT_EQ(app.Condition(), TWCC_SUCCESS) << "a status read clears the condition";
}

class SourceSession : public SourceTest
{
};

TEST_F(SourceSession, OpenFailsCleanlyForAnAccountTheDeviceDoesNotKnow)
{
    Use(L"mailbox.scn", 0, L"nobody");
    EXPECT_EQ(app.Open(), TWRC_FAILURE);
    EXPECT_EQ(app.Condition(), TWCC_OPERATIONERROR);
    // Nothing stays open: the source is back in state 3 and the server goes.
    TW_USERINTERFACE ui = {};
    EXPECT_EQ(app.Send(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_FAILURE);
    EXPECT_EQ(app.Condition(), TWCC_SEQERROR);
    EXPECT_TRUE(WaitForNoServer(15000));
}

TEST_F(SourceSession, OffersTheCapabilitySetAnApplicationReadsAtOpen)
{
    Use(L"mailbox.scn");
    ASSERT_EQ(app.Open(), TWRC_SUCCESS) << "condition " << app.Condition();
    constexpr TW_UINT32 GET_ONLY = TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT;
    constexpr TW_UINT32 SETTABLE = GET_ONLY | TWQC_SET | TWQC_RESET;
    // What an application sees before any page is known: MSG_GET's container, item type and
    // value (ENUMERATION and RANGE: the current one; ARRAY: the number of items), and the
    // operations MSG_QUERYSUPPORT lists; a settable one takes `other` and goes back on MSG_RESET.
    struct Expected
    {
        TW_UINT16 cap;
        TW_UINT16 conType;
        TW_UINT16 itemType;
        TW_UINT32 value;
        TW_UINT32 operations;
        TW_UINT32 other;
    };
    const Expected caps[] = {
        {CAP_SUPPORTEDCAPS, TWON_ARRAY, TWTY_UINT16, 24, GET_ONLY, 0},
        {CAP_SUPPORTEDDATS, TWON_ARRAY, TWTY_UINT32, 16, GET_ONLY, 0},
        {CAP_XFERCOUNT, TWON_ONEVALUE, TWTY_INT16, 0xFFFF, SETTABLE, 3},
        {CAP_UICONTROLLABLE, TWON_ONEVALUE, TWTY_BOOL, TRUE, GET_ONLY, 0},
        {CAP_DEVICEONLINE, TWON_ONEVALUE, TWTY_BOOL, TRUE, GET_ONLY, 0},
        {CAP_INDICATORS, TWON_ENUMERATION, TWTY_BOOL, TRUE, SETTABLE, FALSE},
        {CAP_ENABLEDSUIONLY, TWON_ONEVALUE, TWTY_BOOL, FALSE, GET_ONLY, 0},
        {ICAP_COMPRESSION, TWON_ENUMERATION, TWTY_UINT16, TWCP_NONE, SETTABLE, TWCP_NONE},
        {ICAP_PIXELTYPE, TWON_ENUMERATION, TWTY_UINT16, TWPT_RGB, SETTABLE, TWPT_GRAY},
        {ICAP_BITDEPTH, TWON_ONEVALUE, TWTY_UINT16, 24, SETTABLE, 24},
        {ICAP_BITORDER, TWON_ENUMERATION, TWTY_UINT16, TWBO_MSBFIRST, SETTABLE, TWBO_MSBFIRST},
        {ICAP_PLANARCHUNKY, TWON_ENUMERATION, TWTY_UINT16, TWPC_CHUNKY, SETTABLE, TWPC_CHUNKY},
        {ICAP_PIXELFLAVOR, TWON_ENUMERATION, TWTY_UINT16, TWPF_CHOCOLATE, SETTABLE, TWPF_CHOCOLATE},
        {ICAP_UNITS, TWON_ENUMERATION, TWTY_UINT16, TWUN_INCHES, SETTABLE, TWUN_PIXELS},
        {ICAP_XFERMECH, TWON_ENUMERATION, TWTY_UINT16, TWSX_NATIVE, SETTABLE, TWSX_MEMORY},
        {ICAP_XRESOLUTION, TWON_ONEVALUE, TWTY_FIX32, Fix32(300), GET_ONLY, 0},
        {ICAP_YRESOLUTION, TWON_ONEVALUE, TWTY_FIX32, Fix32(300), GET_ONLY, 0},
        {ICAP_PHYSICALWIDTH, TWON_ONEVALUE, TWTY_FIX32, Fix32(11) | (45220u << 16), GET_ONLY, 0},
        {ICAP_PHYSICALHEIGHT, TWON_ONEVALUE, TWTY_FIX32, Fix32(17), GET_ONLY, 0},
        {ICAP_FRAMES, TWON_ONEVALUE, TWTY_FRAME, 0, SETTABLE, 0},
        {ICAP_SUPPORTEDSIZES, TWON_ENUMERATION, TWTY_UINT16, TWSS_NONE, SETTABLE, TWSS_NONE},
        {ICAP_IMAGEFILEFORMAT, TWON_ENUMERATION, TWTY_UINT16, TWFF_BMP, SETTABLE, TWFF_PNG},
        {ICAP_EXTIMAGEINFO, TWON_ENUMERATION, TWTY_BOOL, FALSE, SETTABLE, TRUE},
        {ICAP_THRESHOLD, TWON_RANGE, TWTY_FIX32, Fix32(128), SETTABLE, Fix32(100)},
    };
    for (const Expected &cap : caps) {
        SCOPED_TRACE(testing::Message() << "capability 0x" << std::hex << cap.cap);
        const Answer get = Ask(app, MSG_GET, cap.cap);
        ASSERT_EQ(get.rc, TWRC_SUCCESS);
        EXPECT_EQ(get.conType, cap.conType);
        EXPECT_EQ(get.itemType, cap.itemType);
        if (cap.itemType != TWTY_FRAME) {
            EXPECT_EQ(get.value, cap.value);
        }
        for (TW_UINT16 msg : {MSG_GETCURRENT, MSG_GETDEFAULT}) {
            const Answer one = Ask(app, msg, cap.cap);
            ASSERT_EQ(one.rc, TWRC_SUCCESS);
            EXPECT_EQ(one.conType, cap.conType == TWON_ARRAY ? TWON_ARRAY : TWON_ONEVALUE);
        }
        const Answer support = Ask(app, MSG_QUERYSUPPORT, cap.cap);
        EXPECT_EQ(support.itemType, TWTY_INT32);
        EXPECT_EQ(support.value, cap.operations);
        if (cap.operations == SETTABLE && cap.itemType != TWTY_FRAME) {
            EXPECT_EQ(SetOneValue(cap.cap, cap.itemType, cap.other), TWRC_SUCCESS);
            EXPECT_EQ(Ask(app, MSG_GETCURRENT, cap.cap).value, cap.other);
            const Answer reset = Ask(app, MSG_RESET, cap.cap);
            EXPECT_EQ(reset.rc, TWRC_SUCCESS);
            EXPECT_EQ(reset.value, cap.value);
        } else if (cap.operations != SETTABLE) {
            // Read-only: what QUERYSUPPORT leaves out is refused.
            EXPECT_EQ(SetOneValue(cap.cap, cap.itemType, cap.value), TWRC_FAILURE);
            EXPECT_EQ(app.Condition(), TWCC_CAPBADOPERATION);
            EXPECT_EQ(Ask(app, MSG_RESET, cap.cap).rc, TWRC_FAILURE);
            EXPECT_EQ(app.Condition(), TWCC_CAPBADOPERATION);
        }
    }
    EXPECT_EQ(app.LiveContainers(), 0) << "every container was freed by the application";

    // Values the source cannot take: refused, or the nearest kept (TWRC_CHECKSTATUS).
    struct Setting
    {
        TW_UINT16 cap;
        TW_UINT16 itemType;
        TW_UINT32 value;
        TW_UINT16 rc;
        TW_UINT16 condition;
        TW_UINT32 current; // afterwards
    };
    const Setting settings[] = {
        {ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY, TWRC_SUCCESS, TWCC_SUCCESS, TWSX_MEMORY},
        {ICAP_XFERMECH, TWTY_UINT16, 4, TWRC_FAILURE, TWCC_BADVALUE, TWSX_MEMORY},
        {ICAP_XFERMECH, TWTY_FIX32, TWSX_NATIVE, TWRC_FAILURE, TWCC_BADVALUE, TWSX_MEMORY},
        {CAP_XFERCOUNT, TWTY_INT16, 0, TWRC_FAILURE, TWCC_BADVALUE, 0xFFFF},
        {CAP_INDICATORS, TWTY_BOOL, 2, TWRC_SUCCESS, TWCC_SUCCESS, TRUE},
        {ICAP_COMPRESSION, TWTY_UINT16, TWCP_JPEG, TWRC_CHECKSTATUS, TWCC_SUCCESS, TWCP_NONE},
        {ICAP_SUPPORTEDSIZES, TWTY_UINT16, TWSS_A4LETTER, TWRC_CHECKSTATUS, TWCC_SUCCESS,
         TWSS_NONE},
        {ICAP_UNITS, TWTY_UINT16, TWUN_TWIPS, TWRC_FAILURE, TWCC_BADVALUE, TWUN_INCHES},
        {ICAP_THRESHOLD, TWTY_FIX32, Fix32(300), TWRC_CHECKSTATUS, TWCC_SUCCESS, Fix32(255)},
        {ICAP_EXTIMAGEINFO, TWTY_UINT16, TRUE, TWRC_SUCCESS, TWCC_SUCCESS, TRUE},
        // The depth goes with the pixel type.
        {ICAP_PIXELTYPE, TWTY_UINT16, TWPT_BW, TWRC_SUCCESS, TWCC_SUCCESS, TWPT_BW},
        {ICAP_BITDEPTH, TWTY_UINT16, 8, TWRC_FAILURE, TWCC_BADVALUE, 1},
        {ICAP_PIXELTYPE, TWTY_UINT16, TWPT_PALETTE, TWRC_FAILURE, TWCC_BADVALUE, TWPT_BW},
    };
    for (const Setting &setting : settings) {
        SCOPED_TRACE(testing::Message()
                     << "set 0x" << std::hex << setting.cap << " to " << setting.value);
        EXPECT_EQ(SetOneValue(setting.cap, setting.itemType, setting.value), setting.rc);
        EXPECT_EQ(app.Condition(), setting.condition);
        EXPECT_EQ(Ask(app, MSG_GETCURRENT, setting.cap).value, setting.current);
    }
    // Lengths follow the units: the device's largest page, 11.69 in wide, at 300 dpi.
    struct InUnits
    {
        TW_UINT16 units;
        TW_UINT32 width;      // ICAP_PHYSICALWIDTH and the layout's frame
        TW_UINT32 resolution; // ICAP_XRESOLUTION, pixels per unit
    };
    for (const InUnits &test :
         {InUnits{TWUN_CENTIMETERS, Fix32(29) | (45390u << 16), Fix32(118) | (7224u << 16)},
          InUnits{TWUN_POINTS, Fix32(841) | (44564u << 16), Fix32(4) | (10923u << 16)},
          InUnits{TWUN_PIXELS, Fix32(3507), Fix32(1)}}) {
        SCOPED_TRACE(testing::Message() << "units " << test.units);
        ASSERT_EQ(SetOneValue(ICAP_UNITS, TWTY_UINT16, test.units), TWRC_SUCCESS);
        EXPECT_EQ(Ask(app, MSG_GETCURRENT, ICAP_PHYSICALWIDTH).value, test.width);
        EXPECT_EQ(Ask(app, MSG_GETCURRENT, ICAP_XRESOLUTION).value, test.resolution);
        EXPECT_EQ(Ask(app, MSG_GETDEFAULT, ICAP_XRESOLUTION).value, test.resolution);
        TW_IMAGELAYOUT layout = {};
        ASSERT_EQ(app.Send(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout), TWRC_SUCCESS);
        TW_UINT32 right = 0;
        memcpy(&right, &layout.Frame.Right, sizeof(right));
        EXPECT_EQ(right, test.width);
    }
    // MSG_RESETALL: every value as it was.
    TW_CAPABILITY all = {CAP_SUPPORTEDCAPS, 0, nullptr};
    EXPECT_EQ(app.Send(DG_CONTROL, DAT_CAPABILITY, MSG_RESETALL, &all), TWRC_SUCCESS);
    for (const Expected &cap : caps) {
        if (cap.operations == SETTABLE && cap.itemType != TWTY_FRAME) {
            EXPECT_EQ(Ask(app, MSG_GETCURRENT, cap.cap).value, cap.value) << std::hex << cap.cap;
        }
    }
    EXPECT_EQ(Ask(app, MSG_GET, 0x1234).rc, TWRC_FAILURE);
    EXPECT_EQ(app.Condition(), TWCC_CAPUNSUPPORTED);

    // In state 4, transfers and the end of one are out of turn; bad data is refused.
    const BadRequest requests[] = {
        {"native transfer", DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, true, TWCC_SEQERROR},
        {"memory transfer", DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, true, TWCC_SEQERROR},
        {"image info", DG_IMAGE, DAT_IMAGEINFO, MSG_GET, true, TWCC_SEQERROR},
        {"end of transfer", DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, true, TWCC_SEQERROR},
        {"disable", DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, true, TWCC_SEQERROR},
        {"open again", DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, true, TWCC_SEQERROR},
        {"capability without data", DG_CONTROL, DAT_CAPABILITY, MSG_GET, false, TWCC_BADVALUE},
        {"enable without data", DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, false, TWCC_BADVALUE},
        {"layout without data", DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, false, TWCC_BADVALUE},
    };
    for (const BadRequest &request : requests)
        ExpectRefused(app, request);
    app.Close();
}

TEST_F(SourceSession, TransfersEveryReadyJobOfTheUserNatively)
{
    Use(L"mailbox.scn");
    OpenAndEnable(MSG_XFERREADY);
    // Another user's job and the one still scanning never come.
    TransferPages(EVERY_READY_PAGE, false);
    TW_PENDINGXFERS pending = {};
    EXPECT_EQ(app.Send(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending), TWRC_SUCCESS);
    EXPECT_EQ(pending.Count, 0);
    app.Close();
    EXPECT_EQ(CountInReport("Escape:1008"), 0u) << "no preference: nothing deleted";
}

TEST_F(SourceSession, DeliversThePixelTypeAskedForFromEveryStoredType)
{
    // The mailbox holds a colour, a grey and a black-and-white job; each comes in the type asked
    // for, read as an application reads it.
    struct Case
    {
        const char *what;
        TW_UINT16 type;
        bool memory;
        bool vanilla;
        TW_UINT16 bits;
    };
    const Case cases[] = {
        {"black and white, native", TWPT_BW, false, false, 1},
        {"black and white, vanilla, in memory", TWPT_BW, true, true, 1},
        {"grey, in memory", TWPT_GRAY, true, false, 8},
        {"grey, vanilla, in memory", TWPT_GRAY, true, true, 8},
        {"colour, native", TWPT_RGB, false, false, 24},
    };
    // A colour page's bars as each type shows them: grey by BT.601, black and white at the
    // default threshold of 128.
    struct Bar
    {
        int index;
        BYTE red, green, blue, grey;
    };
    const Bar bars[] = {{0, 255, 0, 0, 76},
                        {1, 0, 255, 0, 150},
                        {2, 0, 0, 255, 29},
                        {6, 0, 0, 0, 0},
                        {7, 255, 255, 255, 255}};
    for (const Case &test : cases) {
        SCOPED_TRACE(test.what);
        Use(L"mailbox.scn");
        ASSERT_EQ(app.Open(), TWRC_SUCCESS);
        ASSERT_EQ(SetOneValue(ICAP_PIXELTYPE, TWTY_UINT16, test.type), TWRC_SUCCESS);
        ASSERT_EQ(SetOneValue(ICAP_PIXELFLAVOR, TWTY_UINT16,
                              test.vanilla ? TWPF_VANILLA : TWPF_CHOCOLATE),
                  TWRC_SUCCESS);
        ASSERT_EQ(SetOneValue(ICAP_XFERMECH, TWTY_UINT16, test.memory ? TWSX_MEMORY : TWSX_NATIVE),
                  TWRC_SUCCESS);
        TW_USERINTERFACE ui = {};
        ASSERT_EQ(app.Send(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
        for (const PageOf &stored : EVERY_READY_PAGE) {
            SCOPED_TRACE(testing::Message() << "page " << stored.page << " of " << stored.item);
            const ReceivedPage page = ReceivePage(app, test.memory);
            ASSERT_EQ(page.info.PixelType, test.type);
            ASSERT_EQ(page.info.BitsPerPixel, test.bits);
            EXPECT_EQ(page.info.SamplesPerPixel, test.bits == 24 ? 3 : 1);
            const LONG width = page.info.ImageWidth, height = page.info.ImageLength;
            const std::wstring job = stored.item;
            if (job == L"JOB0001.tif") {
                for (const Bar &bar : bars) {
                    const RGBQUAD got =
                        page.At((2 * bar.index + 1) * width / 16 + 3, height / 2 + 7, test.vanilla);
                    const BYTE level = test.type == TWPT_GRAY ? bar.grey
                                       : bar.grey >= 128      ? 255
                                                              : 0;
                    const bool colour = test.type == TWPT_RGB;
                    EXPECT_EQ(got.rgbRed, colour ? bar.red : level) << "bar " << bar.index;
                    EXPECT_EQ(got.rgbGreen, colour ? bar.green : level) << "bar " << bar.index;
                    EXPECT_EQ(got.rgbBlue, colour ? bar.blue : level) << "bar " << bar.index;
                }
            } else if (job == L"JOB0002.tif") {
                // The ramp, dark at the left and light at the right, in every type a grey.
                const RGBQUAD dark = page.At(width / 32, height * 3 / 4 + 3, test.vanilla);
                const RGBQUAD light = page.At(width * 31 / 32, height * 3 / 4 + 3, test.vanilla);
                for (const RGBQUAD &pixel : {dark, light}) {
                    EXPECT_TRUE(pixel.rgbRed == pixel.rgbGreen && pixel.rgbGreen == pixel.rgbBlue);
                }
                EXPECT_LT(dark.rgbRed, 64);
                EXPECT_GT(light.rgbRed, 192);
            } else {
                // The dithered ramp stays black and white in every type, dark at the left.
                size_t grey = 0;
                long left = 0, right = 0;
                for (LONG y = height / 2; y < height; ++y) {
                    for (LONG x = 0; x < width; ++x) {
                        const RGBQUAD got = page.At(x, y, test.vanilla);
                        grey += (got.rgbRed != 0 && got.rgbRed != 255) ||
                                got.rgbGreen != got.rgbRed || got.rgbBlue != got.rgbRed;
                        left += x < width / 10 ? got.rgbRed : 0;
                        right += x >= width * 9 / 10 ? got.rgbRed : 0;
                    }
                }
                EXPECT_EQ(grey, 0u) << "pixels neither black nor white";
                EXPECT_LT(left, right);
            }
        }
        app.Close();
    }
}

// A written page as an application reads it back: WIC's decoder, 24-bit B,G,R from the top, and
// the resolution the file records.
struct DecodedFile
{
    UINT width = 0, height = 0;
    double dpi = 0;
    std::vector<BYTE> pixels;
};

// IWICImagingFactory's interface id, by value: the Windows SDK keeps it in windowscodecs.lib.
constexpr IID IID_WIC_FACTORY = {
    0xec5ec8a9, 0xc395, 0x4314, {0x9c, 0x77, 0x54, 0xd7, 0xa9, 0x35, 0xff, 0x70}};

DecodedFile Decode(const std::wstring &path)
{
    DecodedFile file;
    IWICImagingFactory *factory = nullptr;
    IWICBitmapDecoder *decoder = nullptr;
    IWICBitmapFrameDecode *frame = nullptr;
    IWICFormatConverter *converter = nullptr;
    double dpiY = 0;
    WICPixelFormatGUID format = {};
    if (SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_WIC_FACTORY, reinterpret_cast<void **>(&factory))) &&
        SUCCEEDED(factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ,
                                                     WICDecodeMetadataCacheOnDemand, &decoder)) &&
        SUCCEEDED(decoder->GetFrame(0, &frame)) &&
        SUCCEEDED(frame->GetSize(&file.width, &file.height)) &&
        SUCCEEDED(frame->GetResolution(&file.dpi, &dpiY)) &&
        SUCCEEDED(frame->GetPixelFormat(&format)) &&
        (IsEqualGUID(format, GUID_WICPixelFormat8bppGray) ||
         IsEqualGUID(format, GUID_WICPixelFormat8bppIndexed) ||
         IsEqualGUID(format, GUID_WICPixelFormat1bppIndexed))) {
        // Wine's converter takes neither grey nor a palette to colour: they are spread here.
        const bool oneBit = IsEqualGUID(format, GUID_WICPixelFormat1bppIndexed);
        const UINT stride = oneBit ? (file.width + 7) / 8 : file.width;
        std::vector<BYTE> indices(static_cast<size_t>(stride) * file.height);
        WICColor colours[256] = {};
        UINT count = 0;
        IWICPalette *palette = nullptr;
        const bool grey = IsEqualGUID(format, GUID_WICPixelFormat8bppGray);
        if (!grey && SUCCEEDED(factory->CreatePalette(&palette)) &&
            SUCCEEDED(frame->CopyPalette(palette)))
            palette->GetColors(256, colours, &count);
        if (palette != nullptr)
            palette->Release();
        if (SUCCEEDED(frame->CopyPixels(nullptr, stride, static_cast<UINT>(indices.size()),
                                        indices.data()))) {
            for (UINT y = 0; y < file.height; ++y) {
                for (UINT x = 0; x < file.width; ++x) {
                    const BYTE *row = indices.data() + static_cast<size_t>(y) * stride;
                    const BYTE index = oneBit ? (row[x / 8] >> (7 - x % 8)) & 1 : row[x];
                    const WICColor colour = grey ? 0xFF000000u | index * 0x010101u : colours[index];
                    file.pixels.push_back(static_cast<BYTE>(colour));
                    file.pixels.push_back(static_cast<BYTE>(colour >> 8));
                    file.pixels.push_back(static_cast<BYTE>(colour >> 16));
                }
            }
        }
    } else if (frame != nullptr && SUCCEEDED(factory->CreateFormatConverter(&converter)) &&
               SUCCEEDED(converter->Initialize(frame, GUID_WICPixelFormat24bppBGR,
                                               WICBitmapDitherTypeNone, nullptr, 0,
                                               WICBitmapPaletteTypeCustom))) {
        file.pixels.resize(static_cast<size_t>(file.width) * 3 * file.height);
        if (FAILED(converter->CopyPixels(nullptr, file.width * 3,
                                         static_cast<UINT>(file.pixels.size()),
                                         file.pixels.data())))
            file.pixels.clear();
    }
    for (IUnknown *object : std::initializer_list<IUnknown *>{converter, frame, decoder, factory}) {
        if (object != nullptr)
            object->Release();
    }
    return file;
}

TEST_F(SourceSession, WritesEveryPageToTheFileTheApplicationNamesInEachFormat)
{
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    // The native pages first, as the application shows them; then the same pages by file.
    Use(L"mailbox.scn");
    OpenAndEnable(MSG_XFERREADY);
    std::vector<ReceivedPage> native;
    for (size_t n = 0; n < EVERY_READY_PAGE.size(); ++n)
        native.push_back(ReceivePage(app, false));
    app.Close();
    OpenAndEnable(MSG_XFERREADY, TWSX_FILE);
    struct Case
    {
        TW_UINT16 format;
        const char *extension;
        bool lossless;
    };
    // One page each: colour as BMP, TIFF and PNG; grey as JPEG; black and white as BMP and PNG.
    const Case cases[] = {{TWFF_BMP, "bmp", true}, {TWFF_TIFF, "tif", true},
                          {TWFF_PNG, "png", true}, {TWFF_JFIF, "jpg", false},
                          {TWFF_BMP, "bmp", true}, {TWFF_PNG, "png", true}};
    std::string folder;
    for (wchar_t c : E2eDir())
        folder.push_back(static_cast<char>(c));
    for (size_t n = 0; n < native.size(); ++n) {
        const Case &test = cases[n];
        const TW_IMAGEINFO &info = native[n].info;
        SCOPED_TRACE(testing::Message() << "page " << n + 1 << " as " << test.extension);
        const std::string path = folder + "\\file-page-" + std::to_string(n) + "." + test.extension;
        DeleteFileA(path.c_str());
        TW_SETUPFILEXFER setup = {};
        strncpy(setup.FileName, path.c_str(), sizeof(setup.FileName) - 1);
        setup.Format = test.format;
        ASSERT_EQ(app.Send(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TWRC_SUCCESS);
        ASSERT_EQ(app.Send(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_XFERDONE)
            << "condition " << app.Condition();
        TW_PENDINGXFERS pending = {};
        ASSERT_EQ(app.Send(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);

        const DecodedFile file = Decode(std::wstring(path.begin(), path.end()));
        ASSERT_EQ(file.width, static_cast<UINT>(info.ImageWidth));
        ASSERT_EQ(file.height, static_cast<UINT>(info.ImageLength));
        ASSERT_FALSE(file.pixels.empty()) << "the file is not an image WIC reads";
        EXPECT_NEAR(file.dpi, info.XResolution.Whole, 1.0) << "the page's resolution";
        size_t wrong = 0, difference = 0;
        for (LONG y = 0; y < info.ImageLength; ++y) {
            for (LONG x = 0; x < info.ImageWidth; ++x) {
                const RGBQUAD want = native[n].At(x, y);
                const BYTE *got = &file.pixels[(static_cast<size_t>(y) * info.ImageWidth + x) * 3];
                const BYTE wanted[] = {want.rgbBlue, want.rgbGreen, want.rgbRed};
                for (int c = 0; c < 3; ++c) {
                    wrong += got[c] != wanted[c];
                    difference += got[c] > wanted[c] ? got[c] - wanted[c] : wanted[c] - got[c];
                }
            }
        }
        if (test.lossless) {
            EXPECT_EQ(wrong, 0u) << "pixels not as the native page's";
        } else {
            EXPECT_LT(difference / (3.0 * info.ImageWidth * info.ImageLength), 4.0)
                << "the JPEG is far from the native page";
        }
    }
    CoUninitialize();
    app.Close();
}

TEST_F(SourceSession, RefusesAFileWhereNoneCanBeWritten)
{
    Use(L"mailbox.scn");
    OpenAndEnable(MSG_XFERREADY, TWSX_FILE);
    TW_SETUPFILEXFER setup = {};
    strncpy(setup.FileName, "C:\\no such folder\\page.bmp", sizeof(setup.FileName) - 1);
    setup.Format = TWFF_BMP;
    ASSERT_EQ(app.Send(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TWRC_SUCCESS);
    setup.Format = TWFF_XBM;
    EXPECT_EQ(app.Send(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TWRC_FAILURE);
    EXPECT_EQ(app.Condition(), TWCC_BADVALUE) << "a format the source does not write";
    EXPECT_EQ(app.Send(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_FAILURE);
    const TW_UINT16 condition = app.Condition();
    EXPECT_TRUE(condition == TWCC_BADDEST || condition == TWCC_FILEWRITEERROR) << condition;
    // The page is not delivered: its job stays; the rest follow.
    TW_PENDINGXFERS pending = {};
    ASSERT_EQ(app.Send(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
    EXPECT_EQ(pending.Count, EVERY_READY_PAGE.size() - 1);
    app.Close();
}

TEST_F(SourceSession, ShowsProgressWhilePagesMoveAndCancelEndsTheBatch)
{
    struct Case
    {
        const char *what;
        BOOL indicators;
        bool applicationWindow; // else the desktop is the parent
    };
    const Case cases[] = {{"progress over the application's window", TRUE, true},
                          {"progress with the desktop as parent", TRUE, false},
                          {"no progress", FALSE, true}};
    for (const Case &test : cases) {
        SCOPED_TRACE(test.what);
        Use(L"mailbox.scn", 1);
        HWND window =
            CreateWindowExW(0, L"STATIC", L"application", WS_POPUP | WS_VISIBLE, 0, 0, 640, 480,
                            nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_EQ(app.Open(), TWRC_SUCCESS);
        ASSERT_EQ(SetOneValue(CAP_INDICATORS, TWTY_BOOL, test.indicators), TWRC_SUCCESS);
        TW_USERINTERFACE ui = {};
        ui.hParent = test.applicationWindow ? window : GetDesktopWindow();
        ASSERT_EQ(app.Send(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
        // The first job whole (three pages): the user's preference deletes it.
        TW_HANDLE dib = nullptr;
        TW_PENDINGXFERS pending = {};
        for (int page = 0; page < 3; ++page) {
            ASSERT_EQ(app.Send(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_XFERDONE);
            GlobalFree(dib);
            ASSERT_EQ(app.Send(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
        }
        HWND progress = FindWindowW(PROGRESS_WINDOW_CLASS, nullptr);
        if (!test.indicators) {
            EXPECT_EQ(progress, nullptr);
        } else {
            ASSERT_NE(progress, nullptr);
            EXPECT_EQ(GetWindow(progress, GW_OWNER), test.applicationWindow ? window : nullptr);
            EXPECT_TRUE(IsWindowEnabled(window)) << "the application's window stays usable";
            wchar_t job[100] = {}, page[100] = {};
            GetDlgItemTextW(progress, 200, job, 100);
            GetDlgItemTextW(progress, 201, page, 100);
            EXPECT_STREQ(job, L"Quarterly report.tif");
            EXPECT_STREQ(page, L"Page 3 of 3");
            // The user presses Cancel in the second job: its transfer ends with TWRC_CANCEL, and
            // the batch.
            PostMessageW(GetDlgItem(progress, IDCANCEL), BM_CLICK, 0, 0);
            EXPECT_EQ(app.Send(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_CANCEL);
            ASSERT_EQ(app.Send(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
            EXPECT_EQ(pending.Count, 0);
            EXPECT_EQ(FindWindowW(PROGRESS_WINDOW_CLASS, nullptr), nullptr);
        }
        app.Close();
        DestroyWindow(window);
        // The whole job went; a cancelled one stays, though the preference deletes after scan.
        EXPECT_EQ(CountInReport("Escape:1008"), 1u);
    }
}

TEST_F(SourceSession, TransfersInMemoryStripsOfWholeRows)
{
    Use(L"mailbox.scn");
    OpenAndEnable(MSG_XFERREADY, TWSX_MEMORY);
    TransferPages(EVERY_READY_PAGE, true, 7);
    app.Close();
}

TEST_F(SourceSession, AMemoryBufferOfTheSizeItWasToldServesEveryPage)
{
    // The application asks before it enables and keeps that buffer; the second job's rows are
    // wider than the first's.
    for (bool handle : {false, true}) {
        SCOPED_TRACE(handle ? "TWMF_HANDLE" : "TWMF_POINTER");
        Use(L"wide.scn");
        ASSERT_EQ(app.Open(), TWRC_SUCCESS);
        ASSERT_EQ(SetOneValue(ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY), TWRC_SUCCESS);
        TW_SETUPMEMXFER setup = {};
        ASSERT_EQ(app.Send(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup), TWRC_SUCCESS);
        EXPECT_GE(setup.Preferred, setup.MinBufSize);
        EXPECT_GE(setup.MaxBufSize, setup.Preferred);
        TW_USERINTERFACE ui = {};
        ASSERT_EQ(app.Send(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
        memoryBuffer = setup.MinBufSize;
        memoryHandle = handle;
        TransferPages({{L"JOB0001.tif", 1}, {L"JOB0002.tif", 1}}, true);
        app.Close();
        app.Unload();
    }
}

TEST_F(SourceSession, TransfersThePanelsJobAloneButNeverAnotherUsers)
{
    struct Case
    {
        const wchar_t *scenario;
        std::vector<PageOf> pages;
    };
    const Case cases[] = {{L"panel.scn", {{L"JOB0002.tif", 1}}},
                          {L"foreign.scn", EVERY_READY_PAGE}};
    for (const Case &test : cases) {
        SCOPED_TRACE(testing::Message() << test.scenario);
        Use(test.scenario);
        OpenAndEnable(MSG_XFERREADY);
        TransferPages(test.pages, false);
        app.Close();
        app.Unload();
    }
}

TEST_F(SourceSession, DeletesAJobOnlyAfterAllItsPagesReachedTheApplication)
{
    // A cancel in the middle of the first job: nothing is deleted, the job stays on the device.
    Use(L"mailbox.scn", 1);
    OpenAndEnable(MSG_XFERREADY);
    TransferPages({{L"JOB0001.tif", 1}, {L"JOB0001.tif", 2}}, false, 0, true);
    app.Close();
    EXPECT_EQ(CountInReport("Escape:1008"), 0u);

    // The next session, on a thread already in the multithreaded apartment, runs to the end:
    // each of the three jobs is deleted once.
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    Use(L"mailbox.scn", 1);
    OpenAndEnable(MSG_XFERREADY);
    TransferPages(EVERY_READY_PAGE, false);
    app.Close();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE)
        << "the source left the thread's COM alone";
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(CountInReport("Escape:1008"), 3u);
}

TEST_F(SourceSession, AnEmptyMailboxAsksToBeClosed)
{
    Use(L"empty.scn");
    OpenAndEnable(MSG_CLOSEDSREQ);
    TW_PENDINGXFERS pending = {};
    pending.Count = 9;
    EXPECT_EQ(app.Send(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending), TWRC_SUCCESS);
    EXPECT_EQ(pending.Count, 0);
    // The application's own messages are not the source's.
    MSG message = {};
    message.message = WM_NULL;
    TW_EVENT event = {&message, MSG_XFERREADY};
    EXPECT_EQ(app.Send(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event), TWRC_NOTDSEVENT);
    EXPECT_EQ(event.TWMessage, MSG_NULL);
    TW_HANDLE dib = nullptr;
    EXPECT_EQ(app.Send(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib), TWRC_FAILURE);
    EXPECT_EQ(app.Condition(), TWCC_SEQERROR);
    TW_USERINTERFACE ui = {};
    EXPECT_EQ(app.Send(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    TW_IDENTITY source = app.SourceIdentity();
    EXPECT_EQ(app.Send(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source), TWRC_SUCCESS);
}

// The user picks jobs in the source's window: a second thread plays the user.
class SourceDialog : public SourceTest
{
protected:
    struct Seen
    {
        LRESULT listed = -1; // jobs in the window's list
        std::wstring text;   // the window's word when it has no list
    };

    // Waits for the window, picks the rows given (all of them when empty) and presses a button, or
    // a key (VK_RETURN, VK_ESCAPE) in the list.
    static void PlayUser(std::vector<int> rows, int button, Seen *seen)
    {
        HWND window = nullptr;
        for (int i = 0; i < 200 && window == nullptr; ++i) {
            window = FindWindowW(L"StiBridgeSourceJobs", nullptr);
            if (window == nullptr)
                Sleep(50);
        }
        if (window == nullptr)
            return;
        HWND list = GetDlgItem(window, 100);
        if (list != nullptr)
            seen->listed = SendMessageW(list, LVM_GETITEMCOUNT, 0, 0);
        wchar_t text[200] = {};
        GetWindowTextW(GetDlgItem(window, 101), text, ARRAYSIZE(text));
        seen->text = text;
        if (list != nullptr && !rows.empty()) {
            LVITEMW state = {};
            state.stateMask = LVIS_SELECTED;
            SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1),
                         reinterpret_cast<LPARAM>(&state));
            state.state = LVIS_SELECTED;
            for (int row : rows)
                SendMessageW(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&state));
        }
        if (button == VK_RETURN || button == VK_ESCAPE)
            PostMessageW(list, WM_KEYDOWN, button, 0);
        else
            PostMessageW(window, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(window, button)));
    }

    // The user acts in the window that is up; the message the source then sends.
    TW_UINT16 UserChooses(std::vector<int> rows, int button, Seen *seen)
    {
        std::thread user(PlayUser, rows, button, seen);
        const TW_UINT16 message = app.PumpUntilMessage(20000);
        user.join();
        app.TakeMessages();
        return message;
    }

    void EnableWithUI()
    {
        TW_USERINTERFACE ui = {};
        ui.ShowUI = TRUE;
        EXPECT_EQ(app.Send(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
        EXPECT_EQ(ui.ModalUI, TRUE);
        EXPECT_TRUE(app.TakeMessages().empty()) << "nothing before the user chose";
    }
};

TEST_F(SourceDialog, OffersWhatIsLeftAfterEachBatchAndAsksToCloseAtTheEnd)
{
    Use(L"mailbox.scn");
    ASSERT_EQ(app.Open(), TWRC_SUCCESS);
    EnableWithUI();
    Seen seen;
    EXPECT_EQ(UserChooses({1}, IDOK, &seen), MSG_XFERREADY);
    EXPECT_EQ(seen.listed, 3) << "the user's ready jobs only";
    TransferPages({{L"JOB0002.tif", 1}}, false);
    // The window is back with the two jobs not transferred; Enter takes both.
    EXPECT_EQ(UserChooses({}, VK_RETURN, &seen), MSG_XFERREADY);
    EXPECT_EQ(seen.listed, 2);
    TransferPages({{L"JOB0001.tif", 1},
                   {L"JOB0001.tif", 2},
                   {L"JOB0001.tif", 3},
                   {L"JOB0003.tif", 1},
                   {L"JOB0003.tif", 2}},
                  false);
    EXPECT_EQ(app.TakeMessages(), std::vector<TW_UINT16>{MSG_CLOSEDSREQ}) << "nothing is left";
    app.Close();
}

TEST_F(SourceDialog, ClosingTheWindowAsksTheApplicationToClose)
{
    struct Case
    {
        const wchar_t *scenario;
        int button; // or key
        LRESULT listed;
        bool sayNoJobs;
    };
    const Case cases[] = {{L"mailbox.scn", VK_ESCAPE, 3, false},
                          {L"empty.scn", IDCANCEL, -1, true}};
    for (const Case &test : cases) {
        SCOPED_TRACE(testing::Message() << test.scenario);
        Use(test.scenario);
        ASSERT_EQ(app.Open(), TWRC_SUCCESS);
        EnableWithUI();
        Seen seen;
        EXPECT_EQ(UserChooses({}, test.button, &seen), MSG_CLOSEDSREQ);
        EXPECT_EQ(seen.listed, test.listed);
        EXPECT_EQ(seen.text.find(L"no stored scan jobs") != std::wstring::npos, test.sayNoJobs)
            << "the window said: " << std::string(seen.text.begin(), seen.text.end());
        app.Close();
        app.Unload();
    }
}

} // namespace
