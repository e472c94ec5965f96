// The scheduler's time passes and dispatch, driven by a tick count that
// moves only when the test moves it. Records are given remaining times (and
// intervals) of ten seconds and more, so that the scheduler's real waits
// never run out during a test: every pass happens because the test woke the
// scheduler.
#include "support/engine_test_support.h"

#include <climits>
#include <memory>

namespace {

using namespace enginetest;
using horolog::SchedulerEvent;

class DispatchTest : public ManagerTest {
  protected:
    void SetUp() override {
        ManagerTest::SetUp();
        FakeTicks::Install(1000);
        probe().Install();
    }
    void TearDown() override {
        if (m) {
            m->ResumeTimers();
            for (auto* t : started) m->StopTimer(t->params.dwTimerId);
        }
        ManagerTest::TearDown();
    }

    static SchedulerProbe& probe() { return SchedulerProbe::Get(); }
    size_t Mark() { return probe().Reports().size(); }

    // Waits until the scheduler, after the mark, has made a time pass (of
    // `elapsed` ms, when given) and gone back to a real wait: everything due
    // has been dispatched.
    bool WaitIdleAfter(size_t mark, DWORD elapsed = INFINITE) {
        return probe().WaitUntil([&] {
            auto reports = probe().Reports();
            bool deducted = false;
            for (size_t i = mark; i < reports.size(); ++i) {
                if (reports[i].event == SchedulerEvent::kDeducted &&
                    (elapsed == INFINITE || reports[i].value == elapsed))
                    deducted = true;
                if (deducted && reports[i].event == SchedulerEvent::kWaiting &&
                    reports[i].value != 0)
                    return true;
            }
            return false;
        });
    }

    void Start(Timer* t) {
        const size_t mark = Mark();
        ASSERT_EQ(m->StartTimer(t->get()), S_OK);
        started.push_back(t);
        ASSERT_TRUE(WaitIdleAfter(mark));
    }
    Timer* Make(DWORD id, ITimerSite* site, LONG remaining, BOOL repeat = FALSE,
                LONG interval = 0) {
        owned.push_back(std::make_unique<Timer>(id, site, remaining, repeat, interval));
        return owned.back().get();
    }
    // Lets `ms` pass and wakes the scheduler; returns once it is idle again.
    void Advance(DWORD ms) {
        const size_t mark = Mark();
        FakeTicks::Advance(ms);
        m->ResumeTimers();  // without a pause this only wakes the scheduler
        ASSERT_TRUE(WaitIdleAfter(mark, ms));
    }
    LONG Remaining(Timer* t) {
        return Locked(m, [&] { return t->params.lRemaining; });
    }
    DWORD LastWait() {
        DWORD w = 0;
        EXPECT_TRUE(probe().Last(SchedulerEvent::kWaiting, &w));
        return w;
    }

    // Sites outlive the manager, as a client's must outlive the scheduler's
    // last use of them (just after each callback returns).
    RecordingSite& NewSite(ULONG refs = 1) {
        sites.push_back(std::make_unique<RecordingSite>(refs));
        return *sites.back();
    }

    std::vector<std::unique_ptr<Timer>> owned;
    std::vector<Timer*> started;
    std::vector<std::unique_ptr<RecordingSite>> sites;
};

TEST_F(DispatchTest, PassAfterAStartSkipsTheNewRecordOnly) {
    RecordingSite& site = NewSite();
    Timer* a = Make(1, &site, 100000);
    Start(a);
    EXPECT_FALSE(Locked(m, [&] { return a->params.bJustQueued; }));
    EXPECT_EQ(Remaining(a), 100000);
    EXPECT_EQ(LastWait(), 100000u);

    // 30 s pass before B is started; the pass that B's start causes deducts
    // them from A but not from B.
    FakeTicks::Advance(30000);
    Timer* b = Make(2, &site, 100000);
    Start(b);
    EXPECT_EQ(Remaining(a), 70000);
    EXPECT_EQ(Remaining(b), 100000);
    EXPECT_EQ(LastWait(), 70000u);  // the head's remaining time

    Advance(20000);
    EXPECT_EQ(Remaining(a), 50000);
    EXPECT_EQ(Remaining(b), 80000);
    EXPECT_EQ(site.CallCount(), 0u);
}

TEST_F(DispatchTest, ElapsedTimeIsRightAcrossTheTickWrap) {
    FakeTicks::Install(0xFFFFFF00u);
    RecordingSite& site = NewSite();
    Timer* a = Make(1, &site, 10000);
    Start(a);
    Advance(0x300);  // the tick count wraps through 0
    EXPECT_EQ(Remaining(a), 10000 - 0x300);
}

TEST_F(DispatchTest, DueRecordsAreNotifiedInQueueOrderOnTheSchedulerThread) {
    RecordingSite& site = NewSite();
    Timer* a = Make(1, &site, 10000);
    Timer* b = Make(2, &site, 10000);  // equal: behind A
    Timer* c = Make(3, &site, 5000);
    Timer* d = Make(4, &site, 20000);
    for (Timer* t : {a, b, c, d}) Start(t);

    Advance(10000);
    EXPECT_EQ(site.Ids(), (std::vector<DWORD>{3, 1, 2}));
    for (const auto& call : site.Calls()) {
        EXPECT_EQ(call.event, static_cast<DWORD>(TIMER_EVENT_EXPIRED));
        EXPECT_EQ(call.thread, m->m_pTimerThread->m_nThreadID);
    }
    EXPECT_EQ(QueueOf(m), std::vector<TIMERPARAMETERS*>{d->get()});
    EXPECT_EQ(Remaining(d), 10000);
    EXPECT_EQ(CHorolog::m_uiTimersCount.load(), 1u);
    EXPECT_EQ(site.Refs(), 1u);  // every AddRef was given back
}

TEST_F(DispatchTest, RecordsStartedDueAreNotifiedWithoutAWait) {
    const LONG kRemaining[] = {0, -5, INT_MIN};
    for (LONG remaining : kRemaining) {
        RecordingSite& site = NewSite();
        Timer* t = Make(7, &site, remaining);
        const size_t mark = Mark();
        ASSERT_EQ(m->StartTimer(t->get()), S_OK);
        ASSERT_TRUE(WaitIdleAfter(mark));
        EXPECT_EQ(site.CallCount(), 1u) << remaining;
        // The turn that dispatched it did not wait.
        bool sawZeroWait = false;
        auto reports = probe().Reports();
        for (size_t i = mark; i < reports.size(); ++i)
            sawZeroWait |= reports[i].event == SchedulerEvent::kWaiting && reports[i].value == 0;
        EXPECT_TRUE(sawZeroWait) << remaining;
        EXPECT_TRUE(QueueOf(m).empty());
    }
}

TEST_F(DispatchTest, LongOverdueRecordsStayDue) {
    RecordingSite& site = NewSite();
    Timer* a = Make(1, &site, 10000);
    Start(a);
    // Almost 50 days pass (the tick count goes nearly all the way round):
    // the record must not wrap to far in the future.
    Advance(0xFFFFFFFFu);
    EXPECT_EQ(site.CallCount(), 1u);
}

TEST_F(DispatchTest, RepeatingTimerCarriesItsLatenessIntoTheNextPeriod) {
    RecordingSite& site = NewSite();
    // Time scaled by 100 (see the top of the file): 250 late with an
    // interval of 100.
    Timer* r = Make(1, &site, 10000, TRUE, 10000);
    Start(r);

    Advance(35000);
    EXPECT_EQ(site.CallCount(), 2u);  // once, and once more right away
    EXPECT_EQ(Remaining(r), 10000);
    EXPECT_EQ(LastWait(), 10000u);

    Advance(10000);
    EXPECT_EQ(site.CallCount(), 3u);
    EXPECT_EQ(Remaining(r), 10000);

    Advance(3000);
    EXPECT_EQ(site.CallCount(), 3u);
    Advance(9000);  // 2000 late: the next due time keeps the period
    EXPECT_EQ(site.CallCount(), 4u);
    EXPECT_EQ(Remaining(r), 8000);
}

TEST_F(DispatchTest, RequeueSumIsClampedToTheLongestWait) {
    RecordingSite& site = NewSite();
    Timer* r = Make(1, &site, 10000, TRUE, 10000);
    // The callback moves its record far out; the sum would overflow.
    site.SetAction([&](DWORD) {
        r->params.lRemaining = 2000000000;
        r->params.lInterval = 2000000000;
    });
    Start(r);
    Advance(10000);
    EXPECT_EQ(site.CallCount(), 1u);
    EXPECT_EQ(Remaining(r), INT_MAX);
    EXPECT_EQ(QueueOf(m), std::vector<TIMERPARAMETERS*>{r->get()});
}

TEST_F(DispatchTest, RepeatingTimerWithoutPositiveIntervalRepeatsInOnePassUntilStopped) {
    struct Case {
        LONG interval;
        size_t stopAtCall;
    } cases[] = {{0, 5}, {-7, 3}};
    for (const Case& c : cases) {
        RecordingSite& site = NewSite();
        Timer* r = Make(21, &site, 10000, TRUE, c.interval);
        size_t calls = 0;
        site.SetAction([&](DWORD id) {
            if (++calls == c.stopAtCall) {
                EXPECT_EQ(m->StopTimer(id), S_OK);
            }
        });
        Start(r);
        Advance(10000);
        EXPECT_EQ(site.CallCount(), c.stopAtCall) << c.interval;
        EXPECT_TRUE(QueueOf(m).empty()) << c.interval;
    }
}

TEST_F(DispatchTest, RepeatingTimerIsDroppedWhenItsSiteIsGone) {
    RecordingSite& living = NewSite(1);
    RecordingSite& dying = NewSite(0);  // only the library's reference keeps it: Release gives 0
    Timer* a = Make(1, &living, 10000, TRUE, 100000);
    Timer* b = Make(2, &dying, 10000, TRUE, 100000);
    Start(a);
    Start(b);
    Advance(10000);
    EXPECT_EQ(living.CallCount(), 1u);
    EXPECT_EQ(dying.CallCount(), 1u);
    EXPECT_EQ(living.refsDuringCall.load(), 2u);  // held for the call
    EXPECT_EQ(dying.refsDuringCall.load(), 1u);
    EXPECT_EQ(QueueOf(m), std::vector<TIMERPARAMETERS*>{a->get()});
    EXPECT_EQ(living.Refs(), 1u);
    EXPECT_EQ(dying.Refs(), 0u);
    EXPECT_EQ(living.queryInterfaceCalls.load() + dying.queryInterfaceCalls.load(), 0);
}

TEST_F(DispatchTest, StopAndRestartFromInsideTheCallback) {
    struct Case {
        const char* what;
        BOOL repeat;
        bool restart;
        bool queuedAfter;
        LONG remainingAfter;
    } cases[] = {
        {"repeating, stopped", TRUE, false, false, 0},
        {"one-shot, stopped and started", FALSE, true, false, 0},
        {"repeating, stopped and started", TRUE, true, true, 50000 + 10000},
    };
    for (const Case& c : cases) {
        RecordingSite& site = NewSite();
        Timer* r = Make(31, &site, 10000, c.repeat, 10000);
        HRESULT restartResult = E_FAIL;
        site.SetAction([&](DWORD id) {
            EXPECT_EQ(m->StopTimer(id), S_OK);
            if (c.restart) {
                r->params.lRemaining = 50000;
                restartResult = m->StartTimer(r->get());
            }
        });
        Start(r);
        Advance(10000);
        EXPECT_EQ(site.CallCount(), 1u) << c.what;
        if (c.restart) {
            EXPECT_EQ(restartResult, S_OK) << c.what;
        }
        EXPECT_EQ(m->IsTimerInList(31), c.queuedAfter ? TRUE : FALSE) << c.what;
        if (c.queuedAfter) {
            EXPECT_EQ(Remaining(r), c.remainingAfter) << c.what;
        }
        m->StopTimer(31);
        EXPECT_EQ(CHorolog::m_uiTimersCount.load(), QueueOf(m).size()) << c.what;
    }
}

TEST_F(DispatchTest, RecordStaysQueuedDuringItsOwnCallback) {
    RecordingSite& site = NewSite();
    Timer* r = Make(41, &site, 10000);
    HRESULT restart = S_OK;
    BOOL queued = FALSE;
    site.SetAction([&](DWORD id) {
        queued = m->IsTimerInList(id);
        restart = m->StartTimer(r->get());
    });
    Start(r);
    Advance(10000);
    EXPECT_TRUE(queued);
    EXPECT_EQ(restart, E_TIMERIDINVALID);
    EXPECT_TRUE(QueueOf(m).empty());  // a one-shot leaves after its call
}

TEST_F(DispatchTest, DueRecordWithoutSiteLeavesTheQueueSilently) {
    RecordingSite& site = NewSite();
    Timer* silent = Make(1, nullptr, 10000);
    Timer* loud = Make(2, &site, 10000);
    Start(silent);
    Start(loud);
    EXPECT_EQ(CHorolog::m_uiTimersCount.load(), 2u);
    Advance(10000);
    EXPECT_EQ(site.Ids(), std::vector<DWORD>{2});
    EXPECT_TRUE(QueueOf(m).empty());
    EXPECT_EQ(CHorolog::m_uiTimersCount.load(), 0u);
}

TEST_F(DispatchTest, NothingIsDeductedOrNotifiedWhilePaused) {
    RecordingSite& site = NewSite();
    Timer* a = Make(1, &site, 10000);
    Timer* b = Make(2, &site, 20000);
    Timer* c = Make(3, &site, 50000);
    for (Timer* t : {a, b, c}) Start(t);

    ASSERT_EQ(m->PauseTimers(), S_OK);
    const size_t deductions = probe().Count(SchedulerEvent::kDeducted);
    FakeTicks::Advance(30000);
    // A start during the pause wakes the scheduler, which stays at rest.
    Timer* d = Make(4, &site, 25000);  // queued behind B
    ASSERT_EQ(m->StartTimer(d->get()), S_OK);
    started.push_back(d);
    EXPECT_FALSE(
        probe().WaitForCount(SchedulerEvent::kDeducted, deductions + 1, milliseconds(300)));
    EXPECT_EQ(Remaining(a), 10000);
    EXPECT_EQ(site.CallCount(), 0u);

    // The whole pause is deducted at once; what fell due is notified in
    // queue order; the record started during the pause skips that pass.
    const size_t mark = Mark();
    ASSERT_EQ(m->ResumeTimers(), S_OK);
    ASSERT_TRUE(WaitIdleAfter(mark, 30000));
    EXPECT_EQ(site.Ids(), (std::vector<DWORD>{1, 2}));
    EXPECT_EQ(Remaining(c), 20000);
    EXPECT_EQ(Remaining(d), 25000);
}

TEST_F(DispatchTest, TimerStartedWhilePausedWaitsForResume) {
    ASSERT_EQ(m->PauseTimers(), S_OK);  // before any thread exists
    RecordingSite& site = NewSite();
    Timer* t = Make(1, &site, 0);
    ASSERT_EQ(m->StartTimer(t->get()), S_OK);
    started.push_back(t);
    // The new thread is not suspended, but dispatches nothing: it waits
    // without a limit.
    ASSERT_TRUE(probe().WaitUntil([&] {
        DWORD w;
        return probe().Last(SchedulerEvent::kWaiting, &w) && w == INFINITE;
    }));
    EXPECT_FALSE(site.WaitForCalls(1, milliseconds(300)));
    ASSERT_EQ(m->ResumeTimers(), S_OK);
    EXPECT_TRUE(site.WaitForCalls(1));
}

TEST_F(DispatchTest, PausesNestAndEachResumeUndoesOne) {
    RecordingSite& site = NewSite();
    Timer* a = Make(1, &site, 10000);
    Start(a);
    ASSERT_EQ(m->PauseTimers(), S_OK);
    ASSERT_EQ(m->PauseTimers(), S_OK);
    FakeTicks::Advance(10000);
    const size_t deductions = probe().Count(SchedulerEvent::kDeducted);
    ASSERT_EQ(m->ResumeTimers(), S_OK);
    EXPECT_TRUE(m->m_bRunning);  // dispatching is enabled again ...
    // ... but the thread still carries one suspension.
    EXPECT_FALSE(
        probe().WaitForCount(SchedulerEvent::kDeducted, deductions + 1, milliseconds(300)));
    EXPECT_EQ(site.CallCount(), 0u);
    const size_t mark = Mark();
    ASSERT_EQ(m->ResumeTimers(), S_OK);
    ASSERT_TRUE(WaitIdleAfter(mark, 10000));
    EXPECT_EQ(site.CallCount(), 1u);
}

TEST_F(DispatchTest, CountersFollowDispatchAndRequeue) {
    RecordingSite& site = NewSite();
    Timer* once = Make(1, &site, 10000);
    Timer* again = Make(2, &site, 10000, TRUE, 50000);
    Start(once);
    Start(again);
    Advance(10000);
    EXPECT_EQ(CHorolog::m_uiTimersCount.load(), 1u);
    EXPECT_EQ(CHorolog::m_uiTimersCount.load(), QueueOf(m).size());
}

}  // namespace
