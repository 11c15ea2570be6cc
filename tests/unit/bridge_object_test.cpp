// The bridge object itself: identity, shared count, refused interfaces, initial state and the
// methods that only store or report a member.
#include "bridge.h"
#include "module_state.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The STI service is never reached by these methods.
HRESULT WINAPI NoStiService(HINSTANCE, DWORD, IStillImageW **stillImage, IUnknown *)
{
    *stillImage = nullptr;
    return E_NOTIMPL;
}

void *const SENTINEL = reinterpret_cast<void *>(static_cast<uintptr_t>(0x2000));

class BridgeObject : public testing::Test
{
protected:
    void SetUp() override
    {
        m_saved = g_module;
        // A lock keeps the object's destruction from posting a quit message to anyone.
        g_module.lockCount = 1;
        g_module.objectCount = 0;
        m_bridge = new CStiScannerComBridge(&NoStiService);
        m_unknown = m_bridge->GetNonDelegatingUnknown();
        m_face = m_bridge;
    }

    void TearDown() override
    {
        EXPECT_EQ(0u, m_unknown->Release()) << "references left over";
        EXPECT_EQ(0, g_module.objectCount);
        g_module = m_saved;
    }

    CStiScannerComBridge *m_bridge = nullptr;
    IUnknown *m_unknown = nullptr;
    IStiScannerComBridge *m_face = nullptr;

private:
    ModuleState m_saved{};
};

TEST_F(BridgeObject, CreateRefusesAggregation)
{
    EXPECT_EQ(1, g_module.objectCount);
    CUnknown *created = reinterpret_cast<CUnknown *>(SENTINEL);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, CStiScannerComBridge::Create(m_unknown, &created));
    EXPECT_EQ(nullptr, created);
    EXPECT_EQ(1, g_module.objectCount);

    ASSERT_EQ(S_OK, CStiScannerComBridge::Create(nullptr, &created));
    ASSERT_NE(nullptr, created);
    EXPECT_EQ(2, g_module.objectCount);
    EXPECT_EQ(0u, created->NonDelegatingRelease());
    EXPECT_EQ(1, g_module.objectCount);
}

TEST_F(BridgeObject, InterfaceSharesTheObjectsCount)
{
    void *out = nullptr;
    ASSERT_EQ(S_OK, m_unknown->QueryInterface(IID_IStiScannerComBridge, &out));
    EXPECT_EQ(static_cast<void *>(m_face), out);
    EXPECT_NE(static_cast<void *>(m_unknown), out);

    // Count 2 now: each side's AddRef and Release move the same count. Stop at the first wrong
    // count, before a Release could free the object under the test.
    auto *face = static_cast<IStiScannerComBridge *>(out);
    ASSERT_EQ(3u, face->AddRef());
    ASSERT_EQ(4u, m_unknown->AddRef());
    ASSERT_EQ(3u, m_unknown->Release());
    ASSERT_EQ(2u, face->Release());

    // Through the interface, IUnknown is the object's own.
    void *unknown = nullptr;
    ASSERT_EQ(S_OK, face->QueryInterface(IID_IUnknown, &unknown));
    EXPECT_EQ(static_cast<void *>(m_unknown), unknown);
    void *again = nullptr;
    ASSERT_EQ(S_OK, face->QueryInterface(IID_IStiScannerComBridge, &again));
    EXPECT_EQ(out, again);

    EXPECT_EQ(3u, face->Release());
    EXPECT_EQ(2u, face->Release());
    EXPECT_EQ(1u, face->Release());
    EXPECT_EQ(1, g_module.objectCount);
}

TEST_F(BridgeObject, RefusesOtherInterfaces)
{
    const IID *const refused[] = {&IID_IMarshal, &IID_IClassFactory, &IID_IDispatch,
                                  &IID_IStdMarshalInfo};
    for (const IID *iid : refused) {
        void *out = SENTINEL;
        EXPECT_EQ(E_NOINTERFACE, m_unknown->QueryInterface(*iid, &out));
        EXPECT_EQ(nullptr, out);
        out = SENTINEL;
        EXPECT_EQ(E_NOINTERFACE, m_face->QueryInterface(*iid, &out));
        EXPECT_EQ(nullptr, out);
    }
    EXPECT_EQ(E_POINTER, m_unknown->QueryInterface(IID_IStiScannerComBridge, nullptr));
    EXPECT_EQ(E_POINTER, m_face->QueryInterface(IID_IUnknown, nullptr));
    EXPECT_EQ(2u, m_unknown->AddRef()) << "a refused query changed the count";
    EXPECT_EQ(1u, m_unknown->Release());
}

TEST_F(BridgeObject, NewObjectReportsInitialValues)
{
    LONG reserved = 0, family = 0, extended = 7, page = 0, pageCount = 7;
    EXPECT_EQ(S_OK, m_face->GetReservedValue(&reserved));
    EXPECT_EQ(S_OK, m_face->GetModelFamily(&family));
    EXPECT_EQ(S_OK, m_face->GetExtendedCapability(&extended));
    EXPECT_EQ(S_OK, m_face->GetPagePosition(&page, &pageCount));
    EXPECT_EQ(-1, reserved);
    EXPECT_EQ(-1, family);
    EXPECT_EQ(0, extended);
    EXPECT_EQ(1, page);
    EXPECT_EQ(0, pageCount);
}

TEST_F(BridgeObject, StoringMethodsAnswerSOk)
{
    EXPECT_EQ(S_OK, m_face->Reserved1());
    EXPECT_EQ(S_OK, m_face->Reserved2());
    const LONG counts[] = {-5, 0, 3, 0x7FFFFFFF};
    for (LONG pages : counts)
        EXPECT_EQ(S_OK, m_face->SetPagesRemaining(pages));
    EXPECT_EQ(S_OK, m_face->Reserved1());
    EXPECT_EQ(S_OK, m_face->Reserved2());
    // Storing the page count moves nothing that the page position reports.
    LONG page = 0, pageCount = 7;
    EXPECT_EQ(S_OK, m_face->GetPagePosition(&page, &pageCount));
    EXPECT_EQ(1, page);
    EXPECT_EQ(0, pageCount);
}

TEST_F(BridgeObject, ServerFileNameIsFourCharactersFromTheSecond)
{
    wchar_t path[MAX_PATH] = {};
    ASSERT_NE(0u, GetModuleFileNameW(nullptr, path, MAX_PATH));
    ASSERT_NE(nullptr, wcsstr(path, L"bridge_unit_tests.exe")) << "test needs its own name";

    BSTR name = nullptr;
    ASSERT_EQ(S_OK, m_face->GetServerFileName(&name));
    ASSERT_NE(nullptr, name);
    EXPECT_EQ(std::wstring(L"ridg"), std::wstring(name));
    EXPECT_EQ(4u, SysStringLen(name));
    SysFreeString(name);
    EXPECT_EQ(E_POINTER, m_face->GetServerFileName(nullptr));
}

TEST_F(BridgeObject, CurrentItemNeedsASelection)
{
    BSTR name = reinterpret_cast<BSTR>(SENTINEL);
    LONG page = 7;
    EXPECT_EQ(E_FAIL, m_face->GetCurrentItem(&name, &page));
    EXPECT_EQ(nullptr, name);
    EXPECT_EQ(E_POINTER, m_face->GetCurrentItem(nullptr, &page));
}

} // namespace
