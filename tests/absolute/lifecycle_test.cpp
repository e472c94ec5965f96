// The absolute-timer thread and its pump thread: start-up, and the end of
// both with the manager.
#include "absolute_test_support.h"

namespace abstest {
namespace {

class LifecycleTest : public AbsoluteTest {};

TEST_F(LifecycleTest, FirstTimerReachesAJustStartedPumpThread) {
    RecordingSite* site = NewSite();
    Timer* t = NewTimer(kIdBase + 400, site, FromNow(-kTicksPerMs));
    ASSERT_EQ(m->StartTimer(t->get()), S_OK);
    EXPECT_EQ(g_pAbsoluteTimers.load(), AbsThread());
    ASSERT_NE(AbsThread()->m_pPumpThread, nullptr);
    ASSERT_TRUE(site->WaitForCalls(1));
    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kNotified, t->get()));
    // Armed and signalled on the pump thread, notified on the absolute one.
    DWORD armedOn = 0, signalledOn = 0;
    for (const auto& r : AbsoluteProbe::Get().About(t->get())) {
        if (r.event == AbsoluteEvent::kArmed) armedOn = r.thread;
        if (r.event == AbsoluteEvent::kSignalled && !signalledOn) signalledOn = r.thread;
    }
    EXPECT_EQ(armedOn, AbsThread()->m_pPumpThread->m_nThreadID);
    EXPECT_EQ(signalledOn, armedOn);
    EXPECT_EQ(site->Calls()[0].thread, AbsThread()->m_nThreadID);
}

TEST_F(LifecycleTest, PumpThreadThatCannotStartFailsTheStart) {
    horolog::testing::SetAbsoluteFaults(horolog::kFaultPumpThread);
    RecordingSite* site = NewSite();
    Timer* t = NewTimer(kIdBase + 410, site, FromNow(-kTicksPerMs));
    const auto started = Clock::now();
    EXPECT_EQ(m->StartTimer(t->get()), E_OUTOFMEMORY);
    EXPECT_LT(Clock::now() - started, kLongWait);
    EXPECT_EQ(m->m_pAbsTimersThread, nullptr);
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 0u);
    EXPECT_EQ(CHorolog::m_uiThreadCount.load(), 0u);
    EXPECT_EQ(g_pAbsoluteTimers.load(), nullptr);

    horolog::testing::SetAbsoluteFaults(0);
    ASSERT_EQ(m->StartTimer(t->get()), S_OK);
    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kNotified, t->get()));
    EXPECT_EQ(site->CallCount(), 1u);
}

// The manager's end ends both threads and every waitable timer still armed,
// also while the timers are paused with due messages waiting.
TEST_F(LifecycleTest, ManagerEndClosesEveryArmedTimerAndEndsBothThreads) {
    for (bool paused : {false, true}) {
        SCOPED_TRACE(paused ? "paused" : "running");
        AbsoluteProbe::Get().Install();
        RecordingSite* site = NewSite();
        std::vector<Timer*> timers;
        for (DWORD i = 0; i < 3; ++i) {
            timers.push_back(NewTimer(kIdBase + 420 + i, site, FromNow(60 * kTicksPerMinute)));
            ASSERT_EQ(m->StartTimer(timers.back()->get()), S_OK);
            ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kArmed, timers.back()->get()));
        }
        // One more that signals and is found early.
        FakeWallClock::Install(0);
        timers.push_back(NewTimer(kIdBase + 423, site, FromNow(-kTicksPerMs)));
        ASSERT_EQ(m->StartTimer(timers.back()->get()), S_OK);
        ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kEarly, timers.back()->get()));
        if (paused) {
            ASSERT_EQ(m->PauseTimers(), S_OK);
            ASSERT_TRUE(m->m_pAbsTimersThread->WaitForRest(static_cast<DWORD>(kLongWait.count())));
        }
        for (DWORD i = 0; i < 4; ++i) EXPECT_TRUE(NameExists(TimerName(kIdBase + 420 + i)));

        EXPECT_EQ(ReleaseManager(), 0u);
        EXPECT_EQ(AbsoluteProbe::Get().Count(AbsoluteEvent::kPumpLeft, nullptr), 1u);
        EXPECT_EQ(g_pAbsoluteTimers.load(), nullptr);
        for (DWORD i = 0; i < 4; ++i) {
            EXPECT_FALSE(NameExists(TimerName(kIdBase + 420 + i))) << i;
            EXPECT_EQ(timers[i]->params.hWaitableTimer, nullptr) << i;
        }
        EXPECT_TRUE(Eventually(AllCountersZero, 3 * kLongWait));
        EXPECT_EQ(site->CallCount(), 0u);
        FakeWallClock::Uninstall();

        m = new CHorolog(nullptr);
        m->AddRef();
    }
}

}  // namespace
}  // namespace abstest
