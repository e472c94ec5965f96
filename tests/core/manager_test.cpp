// The manager object: IUnknown, reference counts, ids, the reserved slot,
// and what the last Release leaves behind.
#include "support/engine_test_support.h"

#include <deque>
#include <thread>

namespace {

using namespace enginetest;

TEST(ManagerLifetimeTest, CountsFollowReferencesAndTheLastReleaseDestroys) {
    ExpectCountersZero();
    CHorolog* h = new CHorolog(nullptr);
    EXPECT_EQ(CHorolog::m_uiObjectCount.load(), 1u);
    EXPECT_EQ(h->m_cRef.load(), 0u);

    IHorolog* pItf = nullptr;
    EXPECT_EQ(h->QueryInterface(IID_IHorolog, reinterpret_cast<void**>(&pItf)), S_OK);
    EXPECT_EQ(pItf, static_cast<IHorolog*>(h));
    EXPECT_EQ(h->m_cRef.load(), 1u);
    EXPECT_EQ(CHorolog::m_uiRefCount.load(), 1u);

    EXPECT_EQ(h->AddRef(), 2u);
    EXPECT_EQ(CHorolog::m_uiRefCount.load(), 2u);
    g_pHorolog = h;
    EXPECT_EQ(h->Release(), 1u);
    EXPECT_EQ(g_pHorolog, static_cast<IHorolog*>(h));
    EXPECT_EQ(h->Release(), 0u);
    EXPECT_EQ(g_pHorolog, nullptr);
    ExpectCountersZero();
}

TEST(ManagerLifetimeTest, LastReleaseLeavesAnotherManagerInTheSharedPointer) {
    CHorolog* shared = new CHorolog(nullptr);
    shared->AddRef();
    g_pHorolog = shared;
    CHorolog* other = new CHorolog(nullptr);
    other->AddRef();
    EXPECT_EQ(other->Release(), 0u);
    EXPECT_EQ(g_pHorolog, static_cast<IHorolog*>(shared));
    EXPECT_EQ(shared->Release(), 0u);
    EXPECT_EQ(g_pHorolog, nullptr);
    ExpectCountersZero();
}

TEST(ManagerLifetimeTest, ReferenceCountsStayExactUnderConcurrentAddRefAndRelease) {
    CHorolog* h = new CHorolog(nullptr);
    h->AddRef();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([h] {
            for (int i = 0; i < 20000; ++i) {
                h->AddRef();
                h->Release();
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(h->m_cRef.load(), 1u);
    EXPECT_EQ(CHorolog::m_uiRefCount.load(), 1u);
    EXPECT_EQ(h->Release(), 0u);
    ExpectCountersZero();
}

using ManagerInterfaceTest = ManagerTest;

TEST_F(ManagerInterfaceTest, QueryInterfaceAnswersOnlyIUnknownAndIHorolog) {
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(m->QueryInterface(IID_ITimerSite, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(m->QueryInterface(IID_IHorologSite, &p), E_NOINTERFACE);
    EXPECT_EQ(m->QueryInterface(IID_IHorolog, nullptr), E_POINTER);
    EXPECT_EQ(m->m_cRef.load(), 1u);
    EXPECT_EQ(CHorolog::m_uiRefCount.load(), 1u);

    EXPECT_EQ(m->QueryInterface(IID_IUnknown, &p), S_OK);
    EXPECT_EQ(p, static_cast<void*>(static_cast<IHorolog*>(m)));
    EXPECT_EQ(m->m_cRef.load(), 2u);
    m->Release();
}

TEST_F(ManagerInterfaceTest, ReservedMethodIsNotImplementedAndChangesNothing) {
    EXPECT_EQ(m->ReservedMethod(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), E_NOTIMPL);
    EXPECT_EQ(m->ReservedMethod(~0u, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, ~0u), E_NOTIMPL);
    EXPECT_EQ(m->m_pTimerList, nullptr);
    EXPECT_EQ(m->m_pTimerThread, nullptr);
}

TEST_F(ManagerInterfaceTest, PauseAndResumeBeforeAnyTimerOnlyToggleDispatching) {
    EXPECT_EQ(m->PauseTimers(), S_OK);
    EXPECT_FALSE(m->m_bRunning);
    EXPECT_EQ(m->ResumeTimers(), S_OK);
    EXPECT_TRUE(m->m_bRunning);
    EXPECT_EQ(m->m_pTimerThread, nullptr);
    // Resume without pause leaves the event signalled for the scheduler.
    EXPECT_EQ(WaitForSingleObject(m->m_hTimerEvent, 0), WAIT_OBJECT_0);
}

// ---- ids ------------------------------------------------------------------

// Feeds the id generator a scripted sequence of draws.
std::deque<UINT>& Script() {
    static std::deque<UINT> script;
    return script;
}
UINT ScriptedDraw() {
    UINT v = Script().front();
    Script().pop_front();
    return v;
}

class TimerIdTest : public ManagerTest {
  protected:
    void Draws(std::initializer_list<UINT> draws) {
        Script().assign(draws);
        horolog::testing::SetDrawSource(&ScriptedDraw);
    }
};

TEST_F(TimerIdTest, NullOutPointerDrawsNothing) {
    Draws({3, 5});
    EXPECT_EQ(m->GetTimerId(nullptr), E_POINTER);
    EXPECT_EQ(Script().size(), 2u);
}

TEST_F(TimerIdTest, IdIsTheProductOfTwoDrawsWithoutOverflow) {
    Draws({32767, 32767, 0x12345, 2});  // the draws are cut to 0..32767
    DWORD id = 0;
    ASSERT_EQ(m->GetTimerId(&id), S_OK);
    EXPECT_EQ(id, 32767u * 32767u);
    ASSERT_EQ(m->GetTimerId(&id), S_OK);
    EXPECT_EQ(id, (0x12345u & 0x7FFFu) * 2u);
}

TEST_F(TimerIdTest, SkipsZeroQueuedAndAbsoluteIds) {
    RecordingSite site;
    Timer relative(6, &site, 100000);
    Timer absolute(35, nullptr, 0, FALSE, 0, TIMERTYPE_ABSOLUTE);
    absolute.params.ftDueTime.dwHighDateTime = 0x7FFFFFFF;  // far in the future
    ASSERT_EQ(m->StartTimer(relative.get()), S_OK);
    ASSERT_EQ(m->StartTimer(absolute.get()), S_OK);

    Draws({0, 9,  // 0
           2, 3,  // queued relative timer
           5, 7,  // registered absolute timer
           4, 0,  // 0 again
           11, 13});
    DWORD id = 0;
    ASSERT_EQ(m->GetTimerId(&id), S_OK);
    EXPECT_EQ(id, 143u);
    EXPECT_TRUE(Script().empty());
    m->StopTimer(6);
    m->StopTimer(35);
}

TEST_F(TimerIdTest, GeneratedIdsAreNonzeroAndWithinTheProductRange) {
    for (int i = 0; i < 2000; ++i) {
        DWORD id = 0;
        ASSERT_EQ(m->GetTimerId(&id), S_OK);
        ASSERT_NE(id, 0u);
        ASSERT_LE(id, 32767u * 32767u);
    }
}

}  // namespace
