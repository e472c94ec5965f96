// The module's exports and class factory with arguments a careless or hostile
// caller might pass: out pointers and identifiers outside its memory, an
// outer object that is no object, odd lock flags, and registration calls
// while a client is using the manager. Each gives a clear result and leaves
// nothing half made; a well-behaved client's timer keeps running through
// the calls that can be made while a manager exists.
#include "server_fixture.h"

#include "../core/support/bad_memory.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace servertest {
namespace {

// Generous: a cold COM start under Wine can take seconds.
constexpr std::chrono::seconds kLongWait{30};

const GUID& Unreadable(const badmem::BadOutPointers& bad) {
    return *static_cast<const GUID*>(bad.Unreadable());
}

// A timer site that counts its notifications; it lives as long as the test.
class CountingSite : public ITimerSite {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
        if (ppv) *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE OnTimer(DWORD id, DWORD event) override {
        {
            std::lock_guard<std::mutex> g(m_mx);
            ++m_calls;
            if (id != m_expectedId || event != TIMER_EVENT_EXPIRED) ++m_strangeCalls;
        }
        m_cv.notify_all();
        return S_OK;
    }
    void Expect(DWORD id) { m_expectedId = id; }
    size_t Calls() {
        std::lock_guard<std::mutex> g(m_mx);
        return m_calls;
    }
    size_t StrangeCalls() {
        std::lock_guard<std::mutex> g(m_mx);
        return m_strangeCalls;
    }
    bool WaitForCalls(size_t n) {
        std::unique_lock<std::mutex> lock(m_mx);
        return m_cv.wait_for(lock, kLongWait, [&] { return m_calls >= n; });
    }

  private:
    std::mutex m_mx;
    std::condition_variable m_cv;
    size_t m_calls = 0;
    size_t m_strangeCalls = 0;
    DWORD m_expectedId = 0;
};

// With a manager made by the factory and a client's repeating timer running
// on it, checked at the end to be still served and its record untouched.
class BadInputWithClient : public ServerTest {
  protected:
    void SetUp() override {
        ServerTest::SetUp();
        IClassFactory* pFactory = NewFactory();
        ASSERT_NE(pFactory, nullptr);
        ASSERT_EQ(
            pFactory->CreateInstance(nullptr, IID_IHorolog, reinterpret_cast<void**>(&m_pHorolog)),
            S_OK);
        pFactory->Release();
        std::memset(&m_timer, 0, sizeof m_timer);
        ASSERT_EQ(m_pHorolog->GetTimerId(&m_timer.dwTimerId), S_OK);
        m_site.Expect(m_timer.dwTimerId);
        m_timer.pContext = m_context;
        m_timer.pSite = &m_site;
        m_timer.lRemaining = m_timer.lInterval = 5;
        m_timer.bRepeat = TRUE;
        ASSERT_EQ(m_pHorolog->StartTimer(&m_timer), S_OK);
        m_id = m_timer.dwTimerId;
    }
    void TearDown() override {
        if (m_pHorolog) {
            const size_t before = m_site.Calls();
            EXPECT_TRUE(m_site.WaitForCalls(before + 2))
                << "the client's timer is no longer served";
            EXPECT_EQ(m_site.StrangeCalls(), 0u);
            EXPECT_EQ(m_timer.dwTimerId, m_id);
            EXPECT_EQ(m_timer.pContext, static_cast<void*>(m_context));
            EXPECT_EQ(m_timer.pSite, &m_site);
            EXPECT_EQ(m_timer.lInterval, 5);
            EXPECT_EQ(m_pHorolog->StopTimer(m_id), S_OK);
            EXPECT_EQ(m_pHorolog->Release(), 0u);
        }
        ServerTest::TearDown();
    }

    IHorolog* m_pHorolog = nullptr;
    CountingSite m_site;
    TIMERPARAMETERS m_timer;
    DWORD m_id = 0;
    unsigned char m_context[TIMER_CONTEXT_SIZE] = {};
};

TEST_F(BadInputWithClient, DllGetClassObjectRefusesWhatItCannotReadOrWrite) {
    badmem::BadOutPointers bad;
    ASSERT_TRUE(bad.Ok());
    for (const auto& c : bad.Cases()) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(
            CallDllGetClassObject(CLSID_Horolog, IID_IClassFactory, static_cast<void**>(c.address)),
            E_POINTER);
    }
    EXPECT_TRUE(bad.Untouched());

    struct Case {
        const char* what;
        const GUID& clsid;
        const GUID& iid;
    } cases[] = {
        {"unreadable interface id", CLSID_Horolog, Unreadable(bad)},
        {"unreadable class id", Unreadable(bad), IID_IClassFactory},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        void* pv = &pv;
        EXPECT_EQ(CallDllGetClassObject(c.clsid, c.iid, &pv), E_POINTER);
        EXPECT_EQ(pv, static_cast<void*>(&pv)) << "written only on success";
    }
    // The manager keeps the module; the refused calls left no factory.
    EXPECT_EQ(CallDllCanUnloadNow(), S_FALSE);
}

TEST_F(BadInputWithClient, FactoryRefusesBadPointersAndASecondManager) {
    IClassFactory* pFactory = NewFactory();
    ASSERT_NE(pFactory, nullptr);
    badmem::BadOutPointers bad;
    ASSERT_TRUE(bad.Ok());
    for (const auto& c : bad.Cases()) {
        SCOPED_TRACE(c.what);
        void** ppv = static_cast<void**>(c.address);
        EXPECT_EQ(pFactory->QueryInterface(IID_IClassFactory, ppv), E_POINTER);
        // The one-manager rule comes before any argument is looked at.
        EXPECT_EQ(pFactory->CreateInstance(nullptr, IID_IHorolog, ppv), E_ACCESSDENIED);
        EXPECT_EQ(pFactory->CreateInstance(static_cast<IUnknown*>(bad.Unreadable()),
                                           Unreadable(bad), ppv),
                  E_ACCESSDENIED);
    }
    EXPECT_TRUE(bad.Untouched());
    void* pv = &pv;
    EXPECT_EQ(pFactory->QueryInterface(Unreadable(bad), &pv), E_POINTER);
    EXPECT_EQ(pv, nullptr);
    // Odd lock flags lock; each lock is given back once.
    EXPECT_EQ(pFactory->LockServer(2), S_OK);
    EXPECT_EQ(pFactory->LockServer(-1), S_OK);
    EXPECT_EQ(pFactory->LockServer(FALSE), S_OK);
    EXPECT_EQ(pFactory->LockServer(FALSE), S_OK);
    EXPECT_EQ(pFactory->Release(), 0u);
    EXPECT_EQ(ReadCounters().objects, 1u);
}

TEST_F(BadInputWithClient, RegistrationComingAndGoingLeavesTheRunningManagerAlone) {
    // Unregistering what is not registered, twice; registering twice; and
    // unregistering under the running manager: the client's manager is the
    // one GetHorolog hands out throughout.
    struct Step {
        HRESULT (*call)();
        HRESULT expected;
    } steps[] = {
        {&CallDllUnregisterServer, E_TIMERFAILURE},
        {&CallDllUnregisterServer, E_TIMERFAILURE},
        {&CallDllRegisterServer, S_OK},
        {&CallDllRegisterServer, S_OK},
        {&CallDllUnregisterServer, S_OK},
    };
    for (const Step& step : steps) {
        EXPECT_EQ(step.call(), step.expected);
        IHorolog* pShared = GetHorolog();
        EXPECT_EQ(pShared, m_pHorolog);
        if (pShared) {
            EXPECT_EQ(pShared->Release(), 1u);
        }
        EXPECT_EQ(CallDllCanUnloadNow(), S_FALSE);
    }
}

using BadInputWithoutManager = ServerTest;

TEST_F(BadInputWithoutManager, CreateInstanceRefusesBadArgumentsAndMakesNothing) {
    IClassFactory* pFactory = NewFactory();
    ASSERT_NE(pFactory, nullptr);
    badmem::BadOutPointers bad;
    ASSERT_TRUE(bad.Ok());
    for (const auto& c : bad.Cases()) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(pFactory->CreateInstance(nullptr, IID_IHorolog, static_cast<void**>(c.address)),
                  E_POINTER);
        EXPECT_EQ(ReadCounters().objects, 0u);
    }
    EXPECT_TRUE(bad.Untouched());

    // An outer object is refused without being called, whatever it is.
    void* pv = &pv;
    EXPECT_EQ(pFactory->CreateInstance(static_cast<IUnknown*>(bad.Unreadable()), IID_IHorolog, &pv),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(pv, nullptr);
    // An interface id that cannot be read: the new manager is destroyed.
    pv = &pv;
    EXPECT_EQ(pFactory->CreateInstance(nullptr, Unreadable(bad), &pv), E_POINTER);
    EXPECT_EQ(pv, nullptr);
    EXPECT_EQ(ReadCounters().objects, 0u);

    // Nothing is left half made: the next creation gets the one manager.
    IHorolog* pHorolog = nullptr;
    ASSERT_EQ(pFactory->CreateInstance(nullptr, IID_IHorolog, reinterpret_cast<void**>(&pHorolog)),
              S_OK);
    EXPECT_EQ(pHorolog->Release(), 0u);
    EXPECT_EQ(pFactory->Release(), 0u);
    EXPECT_EQ(CallDllCanUnloadNow(), S_OK);
}

}  // namespace
}  // namespace servertest
