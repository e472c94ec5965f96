// Stopping and replacing absolute timers: once StopTimer has returned, or a
// new start has taken the id, the library neither reads nor writes the old
// record again and its waitable timer is gone. The records are released
// right after they are stopped, as a client may, so that a late access
// shows up under the address sanitizer.
#include "absolute_test_support.h"

namespace abstest {
namespace {

class StopTest : public AbsoluteTest {
  protected:
    // Starts the service threads with a timer that is stopped at once.
    void StartThreads() {
        Timer* t = NewTimer(kIdBase + 99, nullptr, FromNow(60 * kTicksPerMinute));
        ASSERT_EQ(m->StartTimer(t->get()), S_OK);
        ASSERT_EQ(m->StopTimer(kIdBase + 99), S_OK);
    }
    // Starts a timer whose due messages the check takes as early until
    // FakeWallClock moves, and waits for the first of them.
    void StartSignalling(Timer* t) {
        FakeWallClock::Install(0);
        ASSERT_EQ(m->StartTimer(t->get()), S_OK);
        ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kEarly, t->get()));
    }
    // Pauses, and waits until a due message for the record is held in the
    // paused thread's queue (the first one was handled).
    void PauseWithDueMessageQueued(Timer* t) {
        ASSERT_EQ(m->PauseTimers(), S_OK);
        ASSERT_TRUE(m->m_pAbsTimersThread->WaitForRest(static_cast<DWORD>(kLongWait.count())));
        ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kSignalled, t->get(), 2));
    }
};

TEST_F(StopTest, StopOfAnArmedTimerClosesItsWaitableTimer) {
    RecordingSite* site = NewSite();
    Timer* t = NewTimer(kIdBase + 100, site, FromNow(400 * kTicksPerMs));
    ASSERT_EQ(m->StartTimer(t->get()), S_OK);
    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kArmed, t->get()));
    ASSERT_TRUE(NameExists(TimerName(kIdBase + 100)));

    ASSERT_EQ(m->StopTimer(kIdBase + 100), S_OK);
    ExpectEnded(t->get());
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 0u);
    EXPECT_EQ(CHorolog::m_uiThreadCount.load(), 0u);

    // A timer due after the stopped one's due time has passed.
    RecordingSite* after = NewSite();
    Timer* later = NewTimer(kIdBase + 101, after, FromNow(800 * kTicksPerMs));
    ASSERT_EQ(m->StartTimer(later->get()), S_OK);
    ASSERT_TRUE(after->WaitForCalls(1));
    EXPECT_EQ(site->CallCount(), 0u);
    EXPECT_EQ(AbsoluteProbe::Get().Count(AbsoluteEvent::kSignalled, t->get()), 0u);
}

TEST_F(StopTest, DueMessageQueuedBeforeTheStopTouchesNothing) {
    RecordingSite* site = NewSite();
    Timer* t = NewTimer(kIdBase + 110, site, FromNow(-kTicksPerMs));
    StartSignalling(t);
    PauseWithDueMessageQueued(t);
    FakeWallClock::Set(NowTicks());  // the held message would now find it due

    ASSERT_EQ(m->StopTimer(kIdBase + 110), S_OK);
    EXPECT_EQ(t->params.hWaitableTimer, nullptr);
    EXPECT_FALSE(NameExists(TimerName(kIdBase + 110)));
    const TIMERPARAMETERS* stopped = Free(t);

    ASSERT_EQ(m->ResumeTimers(), S_OK);
    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kStale, stopped));
    EXPECT_EQ(site->CallCount(), 0u);
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 0u);
    EXPECT_EQ(CHorolog::m_uiThreadCount.load(), 0u);
}

// The start message is on its way when the timer is stopped: still in the
// absolute-timer thread's queue, or forwarded to the pump thread and not yet
// armed. Either way the record is left alone and no timer is made.
TEST_F(StopTest, StopBeforeArmingLeavesTheRecordAloneAndArmsNothing) {
    StartThreads();
    RecordingSite* site = NewSite();

    {  // Still queued for the absolute-timer thread, which is paused.
        Timer* t = NewTimer(kIdBase + 120, site, FromNow(-kTicksPerMs));
        ASSERT_EQ(m->PauseTimers(), S_OK);
        ASSERT_EQ(m->StartTimer(t->get()), S_OK);
        ASSERT_EQ(m->StopTimer(kIdBase + 120), S_OK);
        const TIMERPARAMETERS* stopped = Free(t);
        ASSERT_EQ(m->ResumeTimers(), S_OK);
        ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kStartIgnored, stopped));
        EXPECT_EQ(AbsoluteProbe::Get().Count(AbsoluteEvent::kRegistered, stopped), 0u);
        EXPECT_FALSE(NameExists(TimerName(kIdBase + 120)));
    }
    {  // Forwarded, the pump thread held before it arms.
        Timer* t = NewTimer(kIdBase + 121, site, FromNow(-kTicksPerMs));
        CCriticalSection& absoluteLock = AbsThread()->m_csAbsolute;
        absoluteLock.Lock();  // no ASSERT until it is released
        EXPECT_EQ(m->StartTimer(t->get()), S_OK);
        const bool registered = AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kRegistered, t->get());
        EXPECT_EQ(CHorolog::m_uiThreadCount.load(), 1u);
        EXPECT_EQ(m->StopTimer(kIdBase + 121), S_OK);
        EXPECT_EQ(CHorolog::m_uiThreadCount.load(), 0u);
        const TIMERPARAMETERS* stopped = Free(t);
        absoluteLock.Unlock();
        ASSERT_TRUE(registered);
        ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kArmSkipped, stopped));
        EXPECT_EQ(AbsoluteProbe::Get().Count(AbsoluteEvent::kArmed, stopped), 0u);
        EXPECT_FALSE(NameExists(TimerName(kIdBase + 121)));
    }
    EXPECT_EQ(site->CallCount(), 0u);
    ExpectCountersMatchMaps();
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 0u);
}

TEST_F(StopTest, NewStartWithTheSameIdEndsTheOlderTimer) {
    RecordingSite* olderSite = NewSite();
    RecordingSite* newerSite = NewSite();
    const DWORD id = kIdBase + 130;
    Timer* older = NewTimer(id, olderSite, FromNow(60 * kTicksPerMinute));
    ASSERT_EQ(m->StartTimer(older->get()), S_OK);
    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kArmed, older->get()));

    Timer* newer = NewTimer(id, newerSite, FromNow(-kTicksPerMs));
    ASSERT_EQ(m->StartTimer(newer->get()), S_OK);
    EXPECT_EQ(older->params.hWaitableTimer, nullptr);
    EXPECT_FALSE(IsRegistered(older->get()));
    const TIMERPARAMETERS* replaced = Free(older);

    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kNotified, newer->get()));
    EXPECT_EQ(newerSite->CallCount(), 1u);
    EXPECT_EQ(olderSite->CallCount(), 0u);
    // The newer timer got the name: the older one's was already closed.
    EXPECT_EQ(AbsoluteProbe::Get().Count(AbsoluteEvent::kArmed, newer->get()), 1u);
    EXPECT_EQ(AbsoluteProbe::Get().Count(AbsoluteEvent::kSignalled, replaced), 0u);
    ExpectEnded(newer->get());
}

TEST_F(StopTest, RestartOfAnArmedRecordReplacesItsWaitableTimer) {
    RecordingSite* site = NewSite();
    const DWORD id = kIdBase + 135;
    Timer* t = NewTimer(id, site, FromNow(60 * kTicksPerMinute));
    ASSERT_EQ(m->StartTimer(t->get()), S_OK);
    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kArmed, t->get()));

    Locked(m, [&] { return t->params.ftDueTime = FromNow(-kTicksPerMs); });
    ASSERT_EQ(m->StartTimer(t->get()), S_OK);
    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kNotified, t->get()));
    EXPECT_EQ(site->CallCount(), 1u);
    EXPECT_EQ(AbsoluteProbe::Get().Count(AbsoluteEvent::kArmed, t->get()), 2u);
    ExpectEnded(t->get());
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 0u);
    EXPECT_EQ(CHorolog::m_uiThreadCount.load(), 0u);
}

// A due message of the older record, held while paused, is handled after a
// newer record took the id: it must neither end the newer timer nor notify.
TEST_F(StopTest, DueMessageOfAReplacedRecordLeavesTheNewerOneAlone) {
    RecordingSite* olderSite = NewSite();
    RecordingSite* newerSite = NewSite();
    const DWORD id = kIdBase + 140;
    Timer* older = NewTimer(id, olderSite, FromNow(-kTicksPerMs));
    StartSignalling(older);
    PauseWithDueMessageQueued(older);

    Timer* newer = NewTimer(id, newerSite, FromNow(60 * kTicksPerMinute));
    ASSERT_EQ(m->StartTimer(newer->get()), S_OK);
    const TIMERPARAMETERS* replaced = Free(older);
    FakeWallClock::Set(NowTicks());  // the newer one is not due, the older one would be

    ASSERT_EQ(m->ResumeTimers(), S_OK);
    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kStale, replaced));
    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kArmed, newer->get()));
    EXPECT_TRUE(IsRegistered(newer->get()));
    EXPECT_NE(HandleOf(newer->get()), nullptr);
    EXPECT_EQ(olderSite->CallCount(), 0u);
    EXPECT_EQ(newerSite->CallCount(), 0u);
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 1u);
    EXPECT_EQ(CHorolog::m_uiThreadCount.load(), 1u);

    ASSERT_EQ(m->StopTimer(id), S_OK);
    ExpectEnded(newer->get());
}

// Clients stopping timers while they expire: every timer ends exactly once,
// by its stop or by its notification, and nothing is left armed.
TEST_F(StopTest, StopsRacingExpiriesLeaveNothingBehind) {
    const int kTimers = 40;
    std::vector<RecordingSite*> sites;
    std::vector<Timer*> timers;
    for (int i = 0; i < kTimers; ++i) {
        sites.push_back(NewSite());
        timers.push_back(
            NewTimer(kIdBase + 200 + i, sites.back(), FromNow((i % 4) * 50 * kTicksPerMs)));
    }
    for (Timer* t : timers) ASSERT_EQ(m->StartTimer(t->get()), S_OK);

    // Every other timer is stopped and released by another client thread.
    std::thread client([&] {
        for (int i = 0; i < kTimers; i += 2) {
            m->StopTimer(kIdBase + 200 + i);
            Free(timers[i]);
        }
    });
    client.join();

    for (int i = 1; i < kTimers; i += 2) {
        ASSERT_TRUE(sites[i]->WaitForCalls(1)) << i;
        ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kNotified, timers[i]->get())) << i;
    }
    for (int i = 0; i < kTimers; ++i) EXPECT_LE(sites[i]->CallCount(), 1u) << i;
    for (int i = 1; i < kTimers; i += 2) {
        EXPECT_EQ(sites[i]->CallCount(), 1u) << i;
        ExpectEnded(timers[i]->get());
    }
    for (int i = 0; i < kTimers; i += 2)
        EXPECT_FALSE(NameExists(TimerName(kIdBase + 200 + i))) << i;
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 0u);
    EXPECT_EQ(CHorolog::m_uiThreadCount.load(), 0u);
}

}  // namespace
}  // namespace abstest
