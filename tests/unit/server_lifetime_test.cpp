// Server lifetime in-process: the two quit tests and the grace they start, CUnknown, the class
// factory and serving runs of the entry.
#include "bridge.h"
#include "class_factory.h"
#include "class_ids.h"
#include "module_state.h"
#include "server_main.h"
#include "unknown.h"

#include <gtest/gtest.h>

namespace {

// Removes the quit messages waiting for this thread and says how many there were.
int TakeQuitMessages()
{
    MSG message;
    int count = 0;
    while (PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE))
        ++count;
    return count;
}

// 1 when a quit test started the grace since the last call, else 0.
int TakeGraceStarts()
{
    return InterlockedExchange(&g_module.graceRunning, 0);
}

// Each test starts with no object, no lock and no grace running, and leaves the module as the
// other tests had it. No quit test posts WM_QUIT itself: only the end of the grace ends the loop.
class ServerLifetime : public testing::Test
{
protected:
    void SetUp() override
    {
        m_saved = g_module;
        g_module.objectCount = 0;
        g_module.lockCount = 0;
        g_module.graceRunning = 0;
        g_module.stopping = 0;
        g_module.mainThreadId = GetCurrentThreadId();
        TakeQuitMessages();
    }

    void TearDown() override
    {
        EXPECT_EQ(0, TakeQuitMessages());
        g_module = m_saved;
    }

private:
    ModuleState m_saved{};
};

// The count a CTestObject saw in its destructor: FinalRelease has set it back to 1 by then.
LONG g_countAtDestruction = 0;

// A CUnknown whose Init answers as told, to reach the factory's failure path.
class CTestObject : public CUnknown
{
public:
    explicit CTestObject(HRESULT initResult) : CUnknown(nullptr), m_initResult(initResult) {}
    ~CTestObject() override { g_countAtDestruction = m_refCount; }
    HRESULT Init() override { return m_initResult; }

private:
    HRESULT m_initResult;
};

// Create functions for a registration of the tests' own; each call is counted.
int g_createCalls = 0;
HRESULT g_createResult = S_OK;
HRESULT g_initResult = S_OK;

HRESULT CountingBridgeCreate(IUnknown *outer, CUnknown **object)
{
    ++g_createCalls;
    return CStiScannerComBridge::Create(outer, object);
}

HRESULT CountingTestCreate(IUnknown *, CUnknown **object)
{
    ++g_createCalls;
    *object = nullptr;
    if (FAILED(g_createResult))
        return g_createResult;
    *object = new CTestObject(g_initResult);
    return S_OK;
}

ClassRegistration MakeRegistration(CreateFunction create)
{
    g_createCalls = 0;
    g_createResult = S_OK;
    g_initResult = S_OK;
    return ClassRegistration{&CLSID_StiScannerComBridge, create, "test", "test.1", "test",
                             nullptr, 0};
}

// An outer object to offer for aggregation; nothing may call it.
IUnknown *const OUTER = reinterpret_cast<IUnknown *>(static_cast<uintptr_t>(0x1000));
void *const SENTINEL = reinterpret_cast<void *>(static_cast<uintptr_t>(0x2000));

enum class Action
{
    ReleaseObject,
    Lock,
    Unlock,
};

struct QuitCase
{
    const char *name;
    LONG objects;
    LONG locks;
    Action action;
    LONG objectsAfter;
    LONG locksAfter;
    bool startsGrace;
};

const QuitCase QUIT_CASES[] = {
    {"last object, no lock", 1, 0, Action::ReleaseObject, 0, 0, true},
    {"last object, surplus unlocks", 1, -2, Action::ReleaseObject, 0, -2, true},
    {"last object, lock held", 1, 1, Action::ReleaseObject, 0, 1, false},
    {"another object alive", 2, 0, Action::ReleaseObject, 1, 0, false},
    {"decrement below zero is not zero", 0, 0, Action::ReleaseObject, -1, 0, false},
    {"unlock with nothing held", 0, 0, Action::Unlock, 0, -1, true},
    {"unlock to -2", 0, -1, Action::Unlock, 0, -2, true},
    {"lock from -2", 0, -2, Action::Lock, 0, -1, true},
    {"lock from 0", 0, 0, Action::Lock, 0, 1, false},
    {"last unlock", 0, 1, Action::Unlock, 0, 0, true},
    {"unlock with an object alive", 1, 1, Action::Unlock, 1, 0, false},
    {"unlock to -1 with an object alive", 1, 0, Action::Unlock, 1, -1, false},
    {"nested lock still held", 0, 2, Action::Unlock, 0, 1, false},
};

TEST_F(ServerLifetime, QuitTestsStartTheGraceWhenNothingIsLeft)
{
    for (const QuitCase &row : QUIT_CASES) {
        SCOPED_TRACE(row.name);
        g_module.objectCount = row.objects;
        g_module.lockCount = row.locks;
        switch (row.action) {
        case Action::ReleaseObject:
            QuitTestObjectReleased();
            break;
        case Action::Lock:
            QuitTestLockChanged(TRUE);
            break;
        case Action::Unlock:
            QuitTestLockChanged(FALSE);
            break;
        }
        EXPECT_EQ(row.objectsAfter, g_module.objectCount);
        EXPECT_EQ(row.locksAfter, g_module.lockCount);
        EXPECT_EQ(row.startsGrace ? 1 : 0, TakeGraceStarts());
    }
}

TEST_F(ServerLifetime, LockServerKeepsTheServerUntilTheUnlock)
{
    ClassRegistration entry = MakeRegistration(&CountingBridgeCreate);
    CClassFactory *factory = new CClassFactory(&entry);

    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(0, TakeGraceStarts());
    IUnknown *object = nullptr;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void **>(&object)));
    EXPECT_EQ(1, g_module.objectCount);
    EXPECT_EQ(0u, object->Release());
    EXPECT_EQ(0, g_module.objectCount);
    EXPECT_EQ(0, TakeGraceStarts()) << "grace while a lock is held";
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(1, TakeGraceStarts());

    // Surplus unlocks each start it; a later lock from -2 still leaves the count below 1.
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(-1, g_module.lockCount);
    EXPECT_EQ(1, TakeGraceStarts());
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(-2, g_module.lockCount);
    EXPECT_EQ(1, TakeGraceStarts());
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(-1, g_module.lockCount);
    EXPECT_EQ(1, TakeGraceStarts());

    // The factory does not count as an object: releasing it moves nothing and starts nothing.
    EXPECT_EQ(0u, factory->Release());
    EXPECT_EQ(0, g_module.objectCount);
    EXPECT_EQ(0, TakeGraceStarts());
}

TEST_F(ServerLifetime, CreateInstanceHandsOutTheOnlyReference)
{
    ClassRegistration entry = MakeRegistration(&CountingBridgeCreate);
    CClassFactory *factory = new CClassFactory(&entry);

    IUnknown *object = nullptr;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void **>(&object)));
    ASSERT_NE(nullptr, object);
    EXPECT_EQ(1, g_createCalls);
    EXPECT_EQ(1, g_module.objectCount);
    EXPECT_EQ(2u, object->AddRef()) << "count after CreateInstance was not 1";
    EXPECT_EQ(1u, object->Release());
    EXPECT_EQ(1, g_module.objectCount) << "Release from 2 destroyed the object";
    EXPECT_EQ(0, TakeGraceStarts());
    EXPECT_EQ(0u, object->Release());
    EXPECT_EQ(0, g_module.objectCount);
    EXPECT_EQ(1, TakeGraceStarts());

    factory->Release();
}

TEST_F(ServerLifetime, CreateInstanceRefusals)
{
    ClassRegistration entry = MakeRegistration(&CountingBridgeCreate);
    CClassFactory *factory = new CClassFactory(&entry);
    void *object = SENTINEL;

    // An id the object does not offer: made and destroyed inside the call, which starts the grace.
    EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IClassFactory, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(1, g_createCalls);
    EXPECT_EQ(0, g_module.objectCount);
    EXPECT_EQ(1, TakeGraceStarts());

    // Aggregation with IID_IUnknown is refused by the create function.
    object = SENTINEL;
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(OUTER, IID_IUnknown, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(2, g_createCalls);
    EXPECT_EQ(0, g_module.objectCount);

    // With any other id the factory refuses before calling it.
    object = SENTINEL;
    EXPECT_EQ(CLASS_E_NOAGGREGATION,
              factory->CreateInstance(OUTER, IID_IStiScannerComBridge, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(2, g_createCalls);

    EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_IUnknown, nullptr));
    EXPECT_EQ(2, g_createCalls);
    EXPECT_EQ(0, g_module.objectCount);
    EXPECT_EQ(0, TakeGraceStarts());

    factory->Release();
}

TEST_F(ServerLifetime, CreateInstancePassesOnCreateAndInitFailures)
{
    ClassRegistration entry = MakeRegistration(&CountingTestCreate);
    CClassFactory *factory = new CClassFactory(&entry);
    void *object = SENTINEL;

    g_createResult = E_OUTOFMEMORY;
    EXPECT_EQ(E_OUTOFMEMORY, factory->CreateInstance(nullptr, IID_IUnknown, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(0, g_module.objectCount);
    EXPECT_EQ(0, TakeGraceStarts());

    // A failed Init destroys the new object through the factory's Release.
    g_createResult = S_OK;
    g_initResult = E_ACCESSDENIED;
    g_countAtDestruction = 0;
    object = SENTINEL;
    EXPECT_EQ(E_ACCESSDENIED, factory->CreateInstance(nullptr, IID_IUnknown, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(2, g_createCalls);
    EXPECT_EQ(1, g_countAtDestruction);
    EXPECT_EQ(0, g_module.objectCount);
    EXPECT_EQ(1, TakeGraceStarts());

    factory->Release();
}

TEST_F(ServerLifetime, FactoryIdentityAndCounts)
{
    ClassRegistration entry = MakeRegistration(&CountingBridgeCreate);
    CClassFactory *factory = new CClassFactory(&entry);

    struct
    {
        const IID *iid;
        HRESULT expected;
    } const rows[] = {
        {&IID_IClassFactory, S_OK},
        {&IID_IUnknown, S_OK},
        {&IID_IStiScannerComBridge, E_NOINTERFACE},
        {&IID_IMarshal, E_NOINTERFACE},
    };
    ULONG count = 1;
    for (const auto &row : rows) {
        void *object = SENTINEL;
        EXPECT_EQ(row.expected, factory->QueryInterface(*row.iid, &object));
        if (row.expected == S_OK) {
            ++count;
            EXPECT_EQ(static_cast<IClassFactory *>(factory), object);
        } else {
            EXPECT_EQ(nullptr, object);
        }
    }
    EXPECT_EQ(E_POINTER, factory->QueryInterface(IID_IUnknown, nullptr));
    // Stop at the first wrong count: releasing on would free the factory under the test.
    ASSERT_EQ(count + 1, factory->AddRef());
    ASSERT_EQ(count, factory->Release());
    while (count > 1)
        ASSERT_EQ(--count, factory->Release());
    EXPECT_EQ(0u, factory->Release());
    EXPECT_EQ(0, g_module.objectCount);
    EXPECT_EQ(0, TakeGraceStarts());
}

TEST_F(ServerLifetime, UnknownBaseOffersOnlyIUnknown)
{
    CUnknown *object = new CUnknown(nullptr);
    EXPECT_EQ(1, g_module.objectCount);
    IUnknown *self = object->GetNonDelegatingUnknown();

    void *out = SENTINEL;
    EXPECT_EQ(E_NOINTERFACE, self->QueryInterface(IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(E_POINTER, self->QueryInterface(IID_IUnknown, nullptr));
    ASSERT_EQ(S_OK, self->QueryInterface(IID_IUnknown, &out));
    EXPECT_EQ(self, out);

    EXPECT_EQ(1u, self->Release());
    EXPECT_EQ(1, g_module.objectCount);
    EXPECT_EQ(0, TakeGraceStarts());
    EXPECT_EQ(0u, self->Release());
    EXPECT_EQ(0, g_module.objectCount);
    EXPECT_EQ(1, TakeGraceStarts());
}

TEST_F(ServerLifetime, GraceEndsOnlyWithNothingAliveAndThenRefusesActivations)
{
    EXPECT_EQ(INFINITE, GraceRemaining()) << "no grace before anything was alive";
    QuitTestLockChanged(FALSE);
    const DWORD justStarted = GraceRemaining();
    EXPECT_GT(justStarted, 0u);
    EXPECT_LE(justStarted, BRIDGE_SHUTDOWN_GRACE_MS);
    g_module.graceStart = GetTickCount() - BRIDGE_SHUTDOWN_GRACE_MS;
    EXPECT_EQ(0u, GraceRemaining());

    // Something that came alive during the grace cancels it; nothing is revoked.
    const struct
    {
        const char *name;
        LONG objects;
        LONG locks;
    } busy[] = {{"an object", 1, 0}, {"a lock", 0, 1}};
    for (const auto &row : busy) {
        SCOPED_TRACE(row.name);
        g_module.objectCount = row.objects;
        g_module.lockCount = row.locks;
        g_module.graceRunning = 1;
        EXPECT_FALSE(StopWhenIdle());
        EXPECT_EQ(INFINITE, GraceRemaining());
        EXPECT_EQ(0, g_module.stopping);
    }

    g_module.objectCount = 0;
    g_module.lockCount = 0;
    g_module.graceRunning = 1;
    EXPECT_TRUE(StopWhenIdle());
    EXPECT_EQ(1, g_module.stopping);

    // A request that still reaches a class object while the server stops creates nothing.
    ClassRegistration entry = MakeRegistration(&CountingBridgeCreate);
    CClassFactory *factory = new CClassFactory(&entry);
    void *object = SENTINEL;
    EXPECT_EQ(CO_E_SERVER_STOPPING, factory->CreateInstance(nullptr, IID_IUnknown, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(0, g_createCalls);
    EXPECT_EQ(0, g_module.objectCount);
    factory->Release();
}

// Serving runs of the entry: a message-only window plays the clients from inside the loop. The
// first client releases its object, a second one comes back within the grace and is served by
// the same loop, and the loop ends a grace after the second release.
struct ClientRun
{
    HRESULT created[2] = {E_FAIL, E_FAIL};
    LONG reservedValue = 0;
    ULONGLONG firstRelease = 0;
    ULONGLONG lastRelease = 0;
};
ClientRun g_clientRun;
constexpr UINT RUN_CLIENT = WM_APP;
constexpr UINT_PTR SECOND_CLIENT_TIMER = 1;
constexpr UINT SECOND_CLIENT_DELAY_MS = 500;

HRESULT ActivateCallRelease()
{
    IStiScannerComBridge *bridge = nullptr;
    const HRESULT hr = CoCreateInstance(CLSID_StiScannerComBridge, nullptr, CLSCTX_LOCAL_SERVER,
                                        IID_IStiScannerComBridge,
                                        reinterpret_cast<void **>(&bridge));
    if (SUCCEEDED(hr)) {
        bridge->GetReservedValue(&g_clientRun.reservedValue);
        bridge->Release();
    }
    return hr;
}

LRESULT CALLBACK ClientWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == RUN_CLIENT) {
        g_clientRun.created[0] = ActivateCallRelease();
        g_clientRun.firstRelease = GetTickCount64();
        SetTimer(window, SECOND_CLIENT_TIMER, SECOND_CLIENT_DELAY_MS, nullptr);
        return 0;
    }
    if (message == WM_TIMER && wParam == SECOND_CLIENT_TIMER) {
        KillTimer(window, SECOND_CLIENT_TIMER);
        g_clientRun.created[1] = ActivateCallRelease();
        g_clientRun.lastRelease = GetTickCount64();
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

TEST_F(ServerLifetime, ServesThroughTheGraceAndEndsAGraceAfterTheLastRelease)
{
    const wchar_t *const windowClass = L"BridgeUnitTestClient";
    WNDCLASSW windowClassInfo = {};
    windowClassInfo.lpfnWndProc = &ClientWindowProc;
    windowClassInfo.hInstance = GetModuleHandleW(nullptr);
    windowClassInfo.lpszClassName = windowClass;
    ASSERT_NE(0, RegisterClassW(&windowClassInfo));
    HWND window = CreateWindowExW(0, windowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(nullptr, window);
    g_clientRun = ClientRun{};
    ASSERT_TRUE(PostMessageW(window, RUN_CLIENT, 0, 0));

    char tail[] = "-Embedding";
    EXPECT_EQ(0, RunServer(GetModuleHandleW(nullptr), tail));
    const ULONGLONG ended = GetTickCount64();

    EXPECT_EQ(S_OK, g_clientRun.created[0]);
    EXPECT_EQ(S_OK, g_clientRun.created[1]) << "the server went away within the grace";
    EXPECT_EQ(-1, g_clientRun.reservedValue);
    ASSERT_NE(0u, g_clientRun.lastRelease);
    // The second client restarted the grace (small allowance for the tick's granularity).
    EXPECT_GE(ended - g_clientRun.lastRelease + 20, BRIDGE_SHUTDOWN_GRACE_MS);
    EXPECT_GE(ended - g_clientRun.firstRelease + 20, BRIDGE_SHUTDOWN_GRACE_MS + SECOND_CLIENT_DELAY_MS);
    EXPECT_EQ(0, g_module.objectCount);
    EXPECT_EQ(1, g_module.stopping);
    EXPECT_EQ(nullptr, g_classTable[0].factory);
    EXPECT_EQ(0u, g_classTable[0].registrationCookie);

    MSG message;
    while (PeekMessageW(&message, window, 0, 0, PM_REMOVE)) {
    }
    DestroyWindow(window);
    UnregisterClassW(windowClass, GetModuleHandleW(nullptr));
}

} // namespace
