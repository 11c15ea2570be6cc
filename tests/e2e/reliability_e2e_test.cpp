// Two client processes on one server, a device lock held by a third process, and a client
// killed in the middle of a transfer. This process is one client; reliability_client.exe beside
// the server is the other; `sim_setup hold` holds the device lock.
#include "class_ids.h"
#include "e2e_support.h"
#include "owners.h"
#include "sim_sti.h"
#include "sti_scanner_com_bridge.h"

#include <gtest/gtest.h>

#include <objbase.h>
#include <tlhelp32.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr wchar_t DEVICE[] = L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0001";
constexpr DWORD EXIT_WAIT_MS = 15000;
constexpr DWORD CLIENT_WAIT_MS = 120000;
constexpr ULONG CHUNK = 64 * 1024;

// A process started by the test, its output collected through a pipe.
struct Child
{
    UniqueHandle process;
    UniqueHandle output;

    // A test that stopped half-way leaves none of its processes behind.
    ~Child()
    {
        if (process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT)
            TerminateProcess(process.get(), 1);
    }

    // Everything the process wrote; one that still runs is ended first (a test that fails).
    std::string Output() const
    {
        if (WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
            TerminateProcess(process.get(), 1);
            WaitForSingleObject(process.get(), INFINITE);
        }
        std::string text;
        char buffer[1024];
        DWORD read = 0;
        while (ReadFile(output.get(), buffer, sizeof(buffer), &read, nullptr) && read != 0)
            text.append(buffer, read);
        return text;
    }

    // Reads until the text appears; false when the process ended first.
    bool WaitForOutput(const char *text) const
    {
        std::string seen;
        char buffer[256];
        DWORD read = 0;
        while (seen.find(text) == std::string::npos) {
            if (!ReadFile(output.get(), buffer, sizeof(buffer), &read, nullptr) || read == 0)
                return false;
            seen.append(buffer, read);
        }
        return true;
    }
};

bool Start(const std::wstring &commandLine, Child *child)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    if (!CreatePipe(&read, &write, &inherit, 0))
        return false;
    child->output.reset(read);
    UniqueHandle writeEnd(write);
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write;
    startup.hStdError = write;
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &info))
        return false;
    CloseHandle(info.hThread);
    child->process.reset(info.hProcess);
    return true;
}

size_t CountServers()
{
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    size_t count = 0;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry))
        count += lstrcmpiW(entry.szExeFile, E2E_SERVER_NAME) == 0 ? 1 : 0;
    return count;
}

// True when the event is set before the process ends or the time runs out.
bool WaitForEvent(HANDLE event, HANDLE process, DWORD timeoutMs)
{
    const HANDLE handles[] = {event, process};
    return WaitForMultipleObjects(2, handles, FALSE, timeoutMs) == WAIT_OBJECT_0;
}

// Ends a server the way its own quit test does, by WM_QUIT to its message loop: it revokes its
// class object and uninitialises COM, which releases every object it still serves. (A killed
// server would leave its class registered with Wine's RPCSS, and later activations would fail.)
void QuitServer(HANDLE server)
{
    const DWORD process = GetProcessId(server);
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot.get(), &entry); more;
         more = Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID == process)
            PostThreadMessageW(entry.th32ThreadID, WM_QUIT, 0, 0);
    }
}

class ReliabilityE2e : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(WaitForNoServer(EXIT_WAIT_MS)) << "a server is left over";
        m_report = E2eDir() + L"\\reliability-report.txt";
        ASSERT_TRUE(InstallScenario(ScenarioDir() + L"\\default.scn", m_report));
        const std::wstring prefix =
            L"StiBridgeReliability_" + std::to_wstring(GetCurrentProcessId());
        for (const wchar_t *name : {L"ready", L"go", L"lockfailed"})
            m_events.emplace_back(
                CreateEventW(nullptr, TRUE, FALSE, (prefix + L"_" + name).c_str()));
        m_clientCommand = L"\"" + E2eDir() + L"\\reliability_client.exe\" " + prefix;
    }

    // A server that outlived a failed test is ended, so the next test starts without one.
    void TearDown() override
    {
        if (bridge != nullptr)
            bridge->Release();
        if (server && WaitForSingleObject(server.get(), EXIT_WAIT_MS) == WAIT_TIMEOUT) {
            QuitServer(server.get());
            if (WaitForSingleObject(server.get(), EXIT_WAIT_MS) == WAIT_TIMEOUT)
                TerminateProcess(server.get(), 0);
        }
    }

    // The server that this test's first client started, with the right to end it.
    void OpenServer()
    {
        UniqueHandle found(OpenServerProcess());
        ASSERT_TRUE(found);
        server.reset(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE |
                                     PROCESS_QUERY_LIMITED_INFORMATION,
                                 FALSE, GetProcessId(found.get())));
        ASSERT_TRUE(server);
    }

    HANDLE Ready() const { return m_events[0].get(); }
    HANDLE Go() const { return m_events[1].get(); }
    HANDLE LockFailed() const { return m_events[2].get(); }

    bool StartClient(const wchar_t *item, Child *client)
    {
        return Start(m_clientCommand + L" " + item, client);
    }

    // This process's own client: the account opened and the item selected, its size known.
    void OpenItem(const wchar_t *item)
    {
        ASSERT_EQ(CoCreateInstance(CLSID_StiScannerComBridge, nullptr, CLSCTX_LOCAL_SERVER,
                                   IID_IStiScannerComBridge, reinterpret_cast<void **>(&bridge)),
                  S_OK);
        ASSERT_EQ(bridge->CreateStillImage(), S_OK);
        LONG count = 1, pages = 0;
        UniqueBstr names;
        ASSERT_EQ(bridge->EnumerateDevices(&count, names.put()), S_OK);
        ASSERT_EQ(bridge->OpenAccount(L"Office", L"Quillon", L"alice"), S_OK);
        ASSERT_EQ(bridge->GetItemCount(&count), S_OK);
        ASSERT_EQ(bridge->SelectItemByName(0, &pages, item, 0), S_OK);
        ASSERT_GE(pages, 1);
        ImageInfo info = {};
        ASSERT_EQ(bridge->GetImageInfo(&info, 1), S_OK);
        ASSERT_EQ(bridge->GetImageSize(&m_size), S_OK);
        m_item = item;
        m_received = 0;
    }

    // Pulls chunks of page 1 until `chunks` more arrived or the page is done; every byte checked.
    void Pull(int chunks)
    {
        TransferRequestView request = {SIM_TRANSFER_DATA,          0, 0, 0, 0, 0,
                                       const_cast<WCHAR *>(m_item)};
        std::vector<BYTE> chunk(CHUNK), expected(CHUNK);
        for (; chunks > 0 && m_received < m_size; --chunks) {
            LONG status = 42;
            ASSERT_EQ(bridge->TransferData(&request, chunk.data(), CHUNK, &status), S_OK);
            const ULONG bytes = static_cast<ULONG>(
                m_size - m_received < static_cast<LONG>(CHUNK) ? m_size - m_received : CHUNK);
            ASSERT_EQ(status, m_received + static_cast<LONG>(bytes) < m_size ? 0 : 6);
            SimFillPage(m_item, 1, static_cast<uint64_t>(m_received), expected.data(), bytes);
            ASSERT_EQ(memcmp(chunk.data(), expected.data(), bytes), 0) << "at " << m_received;
            m_received += static_cast<LONG>(bytes);
        }
    }

    // The driver's report, written when the server's last STI object went.
    std::string ExpectCleanReport(const char *devicesCreated)
    {
        const std::string report = ReadReport(m_report);
        EXPECT_NE(report.find("services-alive 0"), std::string::npos) << report;
        EXPECT_NE(report.find("devices-alive 0"), std::string::npos) << report;
        EXPECT_NE(report.find(devicesCreated), std::string::npos) << report;
        EXPECT_EQ(report.find("violation"), std::string::npos) << report;
        return report;
    }

    std::string Report() const { return ReadReport(m_report); }

    IStiScannerComBridge *bridge = nullptr;
    UniqueHandle server;
    LONG m_size = 0;
    LONG m_received = 0;

private:
    std::wstring m_report;
    std::wstring m_clientCommand;
    std::vector<UniqueHandle> m_events;
    const wchar_t *m_item = nullptr;
};

TEST_F(ReliabilityE2e, TwoClientsShareOneServerAndOutlastALockHeldElsewhere)
{
    OpenItem(L"JOB0001.tif");
    Pull(2);
    OpenServer();

    Child client;
    ASSERT_TRUE(StartClient(L"JOB0002.tif", &client));
    ASSERT_TRUE(WaitForEvent(Ready(), client.process.get(), CLIENT_WAIT_MS)) << client.Output();
    EXPECT_EQ(CountServers(), 1u) << "the second client's object lives in the same server";

    // A third process holds the device lock until the test ends it.
    Child holder;
    ASSERT_TRUE(
        Start(L"\"" + E2eDir() + L"\\sim_setup.exe\" hold " + DEVICE + L" 600000", &holder));
    ASSERT_TRUE(holder.WaitForOutput("held"));
    SetEvent(Go());

    // Both clients' requests wait for the lock in vain and fail by their lock-failure entry.
    const ULONGLONG start = GetTickCount64();
    TransferRequestView request = {
        SIM_TRANSFER_DATA, 0, 0, 0, 0, 0, const_cast<WCHAR *>(L"JOB0001.tif")};
    std::vector<BYTE> chunk(CHUNK);
    LONG status = 42;
    EXPECT_EQ(bridge->TransferData(&request, chunk.data(), CHUNK, &status), E_FAIL);
    EXPECT_EQ(status, 1);
    const ULONGLONG waited = GetTickCount64() - start;
    printf("reliability: a request against the held lock returned after %llu ms\n", waited);
    EXPECT_GE(waited, 3000u) << "the request waited for the lock";
    EXPECT_TRUE(WaitForEvent(LockFailed(), client.process.get(), CLIENT_WAIT_MS))
        << client.Output();

    // The lock comes free: both finish their pages.
    TerminateProcess(holder.process.get(), 0);
    WaitForSingleObject(holder.process.get(), EXIT_WAIT_MS);
    Pull(1000);
    EXPECT_EQ(m_received, m_size);
    DWORD code = 99;
    ASSERT_TRUE(WaitForExit(client.process.get(), CLIENT_WAIT_MS, &code));
    const std::string output = client.Output();
    printf("%s", output.c_str());
    EXPECT_EQ(code, 0u) << output;

    // The server quits after the last release, with both clients' objects gone.
    EXPECT_EQ(bridge->CloseDevice(), S_OK);
    EXPECT_EQ(std::exchange(bridge, nullptr)->Release(), 0u);
    ASSERT_TRUE(WaitForExit(server.get(), EXIT_WAIT_MS, &code));
    EXPECT_EQ(code, 0u);
    const std::string report = ExpectCleanReport("devices-created 2");
    EXPECT_NE(report.find("Lock!"), std::string::npos) << "the failed locks are in its log";
}

// COM releases a dead client's object only once it has run the client's references down (on
// Windows after some missed pings, minutes; Wine never does). Until then the device stays usable,
// the server keeps serving, and a COM shutdown of the server releases what the dead client held.
TEST_F(ReliabilityE2e, ClientKilledMidTransfer)
{
    Child client;
    ASSERT_TRUE(StartClient(L"JOB0001.tif", &client));
    ASSERT_TRUE(WaitForEvent(Ready(), client.process.get(), CLIENT_WAIT_MS)) << client.Output();
    OpenServer();
    ASSERT_TRUE(TerminateProcess(client.process.get(), 1));
    WaitForSingleObject(client.process.get(), EXIT_WAIT_MS);

    // Another client reaches the same server and pulls a whole page: the dead client left the
    // device lock free.
    OpenItem(L"JOB0002.tif");
    EXPECT_EQ(CountServers(), 1u);
    Pull(1000);
    EXPECT_EQ(m_received, m_size);
    EXPECT_EQ(bridge->CloseDevice(), S_OK);
    EXPECT_EQ(std::exchange(bridge, nullptr)->Release(), 0u);

    // Not run down yet: the dead client's object still holds its STI objects (the driver writes
    // its report when the last one goes), and the server still serves.
    EXPECT_EQ(Report(), "");
    IStiScannerComBridge *probe = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_StiScannerComBridge, nullptr, CLSCTX_LOCAL_SERVER,
                               IID_IStiScannerComBridge, reinterpret_cast<void **>(&probe)),
              S_OK);
    LONG reserved = 0;
    EXPECT_EQ(probe->GetReservedValue(&reserved), S_OK);
    EXPECT_EQ(reserved, -1);
    EXPECT_EQ(probe->Release(), 0u);
    EXPECT_EQ(CountServers(), 1u);

    // Told to quit, the server lets go of the dead client's object as COM uninitialises, and the
    // object's destructor hands every block back and releases the STI objects.
    QuitServer(server.get());
    DWORD code = 99;
    ASSERT_TRUE(WaitForExit(server.get(), EXIT_WAIT_MS, &code));
    EXPECT_EQ(code, 0u);
    ExpectCleanReport("devices-created 2");
}

} // namespace
