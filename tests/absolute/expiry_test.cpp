// The expiry check: when an absolute timer is notified, ended silently, or
// left armed for the next signal.
#include "absolute_test_support.h"

namespace abstest {
namespace {

class ExpiryTest : public AbsoluteTest {};

TEST_F(ExpiryTest, DueInTheFutureIsNotifiedOnceOnTheAbsoluteThreadNotBeforeItsDueTime) {
    RecordingSite* site = NewSite();
    std::atomic<uint64_t> seenAt{0};
    site->SetAction([&](DWORD) { seenAt = NowTicks(); });
    Timer* t = NewTimer(kIdBase + 1, site, FromNow(300 * kTicksPerMs));
    const uint64_t due = Ticks(t->params.ftDueTime);

    ASSERT_EQ(m->StartTimer(t->get()), S_OK);
    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kArmed, t->get()));
    EXPECT_NE(HandleOf(t->get()), nullptr);
    EXPECT_TRUE(IsRegistered(t->get()));
    EXPECT_TRUE(NameExists(TimerName(kIdBase + 1)));
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 1u);
    EXPECT_EQ(CHorolog::m_uiThreadCount.load(), 1u);

    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kNotified, t->get()));
    const auto calls = site->Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].id, kIdBase + 1);
    EXPECT_EQ(calls[0].event, static_cast<DWORD>(TIMER_EVENT_EXPIRED));
    EXPECT_EQ(calls[0].thread, m->m_pAbsTimersThread->m_nThreadID);
    EXPECT_GE(seenAt.load(), due);
    EXPECT_EQ(site->Refs(), 1u);  // no reference is kept
    ExpectEnded(t->get());
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 0u);
    EXPECT_EQ(CHorolog::m_uiThreadCount.load(), 0u);
}

// Due times already past when the timer starts: the first signal comes at
// once and the check decides by how late it is.
TEST_F(ExpiryTest, PastDueTimesAreNotifiedWithinFiveMinutesAndEndedSilentlyBeyond) {
    struct Case {
        const char* what;
        int64_t offset;
        bool withSite;
        bool notified;
    };
    const Case cases[] = {
        {"one minute past", -1 * kTicksPerMinute, true, true},
        {"four minutes fifty past", -(4 * kTicksPerMinute + 50 * 1000 * kTicksPerMs), true, true},
        {"ten minutes past", -10 * kTicksPerMinute, true, false},
        {"long ago (the FILETIME epoch)", INT64_MIN, true, false},
        {"one minute past, no site", -1 * kTicksPerMinute, false, false},
    };
    DWORD id = kIdBase + 10;
    for (const Case& c : cases) {
        RecordingSite* site = NewSite();
        const FILETIME due = c.offset == INT64_MIN ? ToFileTime(0) : FromNow(c.offset);
        Timer* t = NewTimer(++id, c.withSite ? site : nullptr, due);
        ASSERT_EQ(m->StartTimer(t->get()), S_OK) << c.what;
        const AbsoluteEvent end =
            c.notified ? AbsoluteEvent::kNotified : AbsoluteEvent::kEndedSilently;
        ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(end, t->get())) << c.what;
        EXPECT_EQ(site->CallCount(), c.notified ? 1u : 0u) << c.what;
        EXPECT_EQ(AbsoluteProbe::Get().Count(AbsoluteEvent::kEarly, t->get()), 0u) << c.what;
        ExpectEnded(t->get(), c.what);
        EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 0u) << c.what;
    }
}

// The bound is checked against the clock the check reads; a clock that only
// the test moves places the check exactly on it.
TEST_F(ExpiryTest, FiveMinuteBoundIsInclusive) {
    struct Case {
        const char* what;
        int64_t lateBy;
        bool notified;
    };
    const Case cases[] = {
        {"on time", 0, true},
        {"exactly five minutes late", 5 * kTicksPerMinute, true},
        {"five minutes and 100 ns late", 5 * kTicksPerMinute + 1, false},
    };
    DWORD id = kIdBase + 20;
    for (const Case& c : cases) {
        RecordingSite* site = NewSite();
        // Due in the past by the real clock, so that the timer signals at once.
        Timer* t = NewTimer(++id, site, FromNow(-kTicksPerMinute));
        FakeWallClock::Install(Ticks(t->params.ftDueTime) + static_cast<uint64_t>(c.lateBy));
        ASSERT_EQ(m->StartTimer(t->get()), S_OK) << c.what;
        const AbsoluteEvent end =
            c.notified ? AbsoluteEvent::kNotified : AbsoluteEvent::kEndedSilently;
        ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(end, t->get())) << c.what;
        EXPECT_EQ(site->CallCount(), c.notified ? 1u : 0u) << c.what;
        ExpectEnded(t->get(), c.what);
    }
}

// A signal that the clock places before the due time changes nothing; the
// next one, a period later, ends the timer.
TEST_F(ExpiryTest, EarlySignalLeavesTheTimerArmedAndTheNextOneNotifies) {
    RecordingSite* site = NewSite();
    Timer* t = NewTimer(kIdBase + 30, site, FromNow(-kTicksPerMs));
    const uint64_t due = Ticks(t->params.ftDueTime);
    FakeWallClock::Install(due - 1);  // 100 ns early

    std::atomic<bool> armedWhenEarly{false};
    AbsoluteProbe::Get().SetAction([&](AbsoluteEvent event, const TIMERPARAMETERS* record) {
        if (event != AbsoluteEvent::kEarly || record != t->get()) return;
        armedWhenEarly =
            IsRegistered(t->get()) && HandleOf(t->get()) != nullptr && site->CallCount() == 0;
        FakeWallClock::Set(due);
    });

    ASSERT_EQ(m->StartTimer(t->get()), S_OK);
    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kNotified, t->get()));
    EXPECT_TRUE(armedWhenEarly.load());
    EXPECT_EQ(site->CallCount(), 1u);

    std::vector<AbsoluteEvent> checks;
    Clock::time_point early{}, notified{};
    for (const auto& r : AbsoluteProbe::Get().About(t->get())) {
        if (r.event == AbsoluteEvent::kEarly) early = r.when;
        if (r.event == AbsoluteEvent::kNotified) notified = r.when;
        if (r.event == AbsoluteEvent::kEarly || r.event == AbsoluteEvent::kNotified)
            checks.push_back(r.event);
    }
    EXPECT_EQ(checks,
              (std::vector<AbsoluteEvent>{AbsoluteEvent::kEarly, AbsoluteEvent::kNotified}));
    // The next signal comes one period (1000 ms) later.
    EXPECT_GE(notified - early, milliseconds(900));
    ExpectEnded(t->get());
}

// While the absolute-timer thread is paused the waitable timer goes on
// signalling; of the due messages that pile up, the first ends the timer
// and the others find it gone.
TEST_F(ExpiryTest, DueMessagesQueuedWhilePausedNotifyOnce) {
    RecordingSite* site = NewSite();
    Timer* t = NewTimer(kIdBase + 40, site, FromNow(-kTicksPerMs));
    const uint64_t due = Ticks(t->params.ftDueTime);
    FakeWallClock::Install(due - 1);  // early until the test says otherwise

    ASSERT_EQ(m->StartTimer(t->get()), S_OK);
    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kEarly, t->get()));
    ASSERT_EQ(m->PauseTimers(), S_OK);
    ASSERT_TRUE(m->m_pAbsTimersThread->WaitForRest(static_cast<DWORD>(kLongWait.count())));
    FakeWallClock::Set(due);
    // The first signal was handled; two more wait in the paused thread.
    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kSignalled, t->get(), 3));
    EXPECT_EQ(site->CallCount(), 0u);
    EXPECT_EQ(AbsoluteProbe::Get().Count(AbsoluteEvent::kEarly, t->get()), 1u);

    ASSERT_EQ(m->ResumeTimers(), S_OK);
    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kNotified, t->get()));
    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kStale, t->get()));
    EXPECT_EQ(site->CallCount(), 1u);
    EXPECT_EQ(AbsoluteProbe::Get().Count(AbsoluteEvent::kNotified, t->get()), 1u);
    ExpectEnded(t->get());
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 0u);
    EXPECT_EQ(CHorolog::m_uiThreadCount.load(), 0u);
}

// A pause asked for from inside an absolute notification holds the thread
// once the notification has returned, not inside it with its lock held.
TEST_F(ExpiryTest, PauseFromInsideAnAbsoluteNotificationTakesEffectAfterItReturns) {
    RecordingSite* pausing = NewSite();
    std::atomic<HRESULT> paused{E_FAIL};
    pausing->SetAction([&](DWORD) { paused = m->PauseTimers(); });
    Timer* first = NewTimer(kIdBase + 50, pausing, FromNow(-kTicksPerMs));
    ASSERT_EQ(m->StartTimer(first->get()), S_OK);
    ASSERT_TRUE(pausing->WaitForCalls(1));
    EXPECT_EQ(paused.load(), S_OK);

    ASSERT_TRUE(m->m_pAbsTimersThread->WaitForRest(static_cast<DWORD>(kLongWait.count())));
    EXPECT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kNotified, first->get()));
    // The absolute lock is free while the thread rests.
    ASSERT_TRUE(AbsThread()->m_csAbsolute.Lock(0));
    AbsThread()->m_csAbsolute.Unlock();

    // A timer started meanwhile waits for the resume.
    RecordingSite* later = NewSite();
    Timer* second = NewTimer(kIdBase + 51, later, FromNow(-kTicksPerMs));
    ASSERT_EQ(m->StartTimer(second->get()), S_OK);
    ASSERT_EQ(m->ResumeTimers(), S_OK);
    ASSERT_TRUE(later->WaitForCalls(1));
    EXPECT_EQ(pausing->CallCount(), 1u);
    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kNotified, second->get()));
    ExpectEnded(first->get());
    ExpectEnded(second->get());
}

}  // namespace
}  // namespace abstest
