// The diagnostics log as support uses it: switched on in the registry, read in the folder it
// names, from the source in this process and the server it reached.
#include "datasource_test_support.h"
#include "e2e_support.h"
#include "owners.h"

#include <map>

namespace {

constexpr wchar_t DIAGNOSTICS[] = L"Software\\tavrk\\twain\\StiScannerBridge\\Diagnostics";

// The settings for one run, taken away afterwards so that no other test writes a log.
class LogSettings
{
public:
    LogSettings(DWORD level, const std::wstring &folder)
    {
        UniqueHKey key;
        RegCreateKeyExW(HKEY_CURRENT_USER, DIAGNOSTICS, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        key.put(), nullptr);
        RegSetValueExW(key.get(), L"Level", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&level),
                       sizeof(level));
        RegSetValueExW(key.get(), L"Folder", 0, REG_SZ,
                       reinterpret_cast<const BYTE *>(folder.c_str()),
                       static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
    }
    ~LogSettings() { RegDeleteKeyW(HKEY_CURRENT_USER, DIAGNOSTICS); }
};

// Every log file in the folder, by the part that wrote it ("source", "server").
std::map<std::string, std::string> ReadLogs(const std::wstring &folder)
{
    std::map<std::string, std::string> logs;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\StiScannerBridge-*.log").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return logs;
    do {
        const std::wstring name = found.cFileName;
        const std::string part = name.find(L"-server-") != std::wstring::npos ? "server" : "source";
        logs[part] += ReadReport(folder + L"\\" + name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return logs;
}

void RemoveFolder(const std::wstring &folder)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*.log").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do
            DeleteFileW((folder + L"\\" + found.cFileName).c_str());
        while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

class SourceDiagnostics : public SourceTest
{
protected:
    // Open, every page natively, close: the results an application sees, in order.
    std::vector<TW_UINT16> Session()
    {
        std::vector<TW_UINT16> results;
        results.push_back(app.Open());
        results.push_back(SetOneValue(ICAP_XFERMECH, TWTY_UINT16, TWSX_NATIVE));
        TW_USERINTERFACE ui = {};
        results.push_back(app.Send(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui));
        for (int page = 0; page < 10; ++page) {
            TW_HANDLE dib = nullptr;
            const TW_UINT16 rc = app.Send(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &dib);
            results.push_back(rc);
            if (dib != nullptr)
                GlobalFree(dib);
            TW_PENDINGXFERS pending = {};
            results.push_back(app.Send(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending));
            if (rc != TWRC_XFERDONE || pending.Count == 0)
                break;
        }
        results.push_back(app.Send(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui));
        app.Close();
        return results;
    }

    // Memory strips until one fails.
    void FailStrip()
    {
        OpenAndEnable(MSG_XFERREADY, TWSX_MEMORY);
        std::vector<BYTE> buffer(64 * 1024);
        for (int strip = 0; strip < 100; ++strip) {
            TW_IMAGEMEMXFER transfer = {};
            transfer.Memory.Flags = TWMF_APPOWNS | TWMF_POINTER;
            transfer.Memory.Length = static_cast<TW_UINT32>(buffer.size());
            transfer.Memory.TheMem = buffer.data();
            if (app.Send(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &transfer) == TWRC_FAILURE)
                return;
        }
        ADD_FAILURE() << "no strip failed";
    }
};

TEST_F(SourceDiagnostics, LogsWhatFailedAndWhatRanWithoutSecretsOrEffect)
{
    enum Run
    {
        SESSION,
        OPEN_ONLY,
        STRIP_FAILS
    };
    struct Case
    {
        const char *what;
        DWORD level;
        bool writableFolder;
        const wchar_t *scenario;
        Run run;
        std::vector<const char *> sourceHas; // each in the source's log
        std::vector<const char *> serverHas; // each in the server's log
        std::vector<const char *> noneHas;   // in no log
    };
    const Case cases[] = {
        {"off", 0, true, L"mailbox.scn", SESSION, {}, {}, {}},
        {"no scanner",
         1,
         true,
         L"no_scanner.scn",
         OPEN_ONLY,
         {"DG_CONTROL DAT_IDENTITY MSG_OPENDS", "-> TWRC_FAILURE TWCC_CHECKDEVICEONLINE",
          ", at no supported scanner: 0x80070037 ERROR_DEV_NOT_EXIST"},
         {},
         {}},
        {"strip fails",
         1,
         true,
         L"strip_fails.scn",
         STRIP_FAILS,
         {"DG_IMAGE DAT_IMAGEMEMXFER MSG_GET -> TWRC_FAILURE TWCC_OPERATIONERROR",
          ", at TransferData status "},
         {"TransferData(kind=1", ", at Escape 0x1007: 0x8"},
         {"MSG_OPENDS", "OpenAccount("}},
        {"secrets at traffic level",
         3,
         true,
         L"secrets.scn",
         SESSION,
         {"MSG_OPENDS", "DAT_IMAGENATIVEXFER MSG_GET bytes="},
         {"OpenAccount(settings=Office prefix=Quillon key=set) -> 0x00000000 S_OK",
          "SendUserPin() -> 0x00000000 S_OK", "Escape 0x"},
         {"918273", "k7Qx2Zw"}},
        {"folder cannot be written", 3, false, L"mailbox.scn", SESSION, {}, {}, {}},
    };
    std::vector<TW_UINT16> plainResults;
    for (const Case &test : cases) {
        SCOPED_TRACE(test.what);
        // A folder of its own: a server of the row before may still hold its log open.
        const std::wstring folder = E2eDir() + L"\\diagnostics-" + std::to_wstring(&test - cases);
        RemoveFolder(folder);
        CreateDirectoryW(folder.c_str(), nullptr);
        ASSERT_TRUE(ReadLogs(folder).empty()) << "logs of an earlier run are left";
        {
            const LogSettings settings(test.level,
                                       test.writableFolder ? folder : folder + L"\\missing");
            Use(test.scenario, 0,
                test.scenario == std::wstring(L"secrets.scn") ? L"k7Qx2Zw" : L"alice");
            if (test.run == OPEN_ONLY) {
                EXPECT_EQ(app.Open(), TWRC_FAILURE);
            } else if (test.run == STRIP_FAILS) {
                FailStrip();
                app.Close();
            } else {
                const std::vector<TW_UINT16> results = Session();
                EXPECT_EQ(results.back(), TWRC_SUCCESS);
                // A log that cannot be written changes no result.
                if (test.level == 0) {
                    plainResults = results;
                } else if (!test.writableFolder) {
                    EXPECT_EQ(results, plainResults);
                }
            }
            app.Unload();
        }
        const std::map<std::string, std::string> logs = ReadLogs(folder);
        if (test.level == 0 || !test.writableFolder) {
            EXPECT_TRUE(logs.empty()) << logs.begin()->second;
        }
        for (const char *text : test.sourceHas)
            EXPECT_NE(logs.count("source") ? logs.at("source").find(text) : std::string::npos,
                      std::string::npos)
                << text << " not in the source's log:\n"
                << (logs.count("source") ? logs.at("source") : "");
        for (const char *text : test.serverHas)
            EXPECT_NE(logs.count("server") ? logs.at("server").find(text) : std::string::npos,
                      std::string::npos)
                << text << " not in the server's log:\n"
                << (logs.count("server") ? logs.at("server") : "");
        for (const auto &log : logs) {
            for (const char *text : test.noneHas)
                EXPECT_EQ(log.second.find(text), std::string::npos)
                    << text << " in the " << log.first << "'s log:\n"
                    << log.second;
        }
    }
}

} // namespace
