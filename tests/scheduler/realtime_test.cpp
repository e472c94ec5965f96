// The scheduler against the real clock: timers come when they are due, the
// lock is free during callbacks, and pausing, stopping and releasing work
// from callbacks and against callbacks in progress. Lower bounds are what
// the timers promise; upper bounds are generous.
#include "support/engine_test_support.h"

#include <future>
#include <memory>

namespace {

using namespace enginetest;

// Sites and records belong to the fixture: they outlive the manager, as a
// client's must outlive the scheduler's last use of them (which comes just
// after each callback returns).
class RealTimeTest : public ManagerTest {
  protected:
    RecordingSite& NewSite() {
        sites.push_back(std::make_unique<RecordingSite>());
        return *sites.back();
    }
    Timer& NewTimer(DWORD id, ITimerSite* site, LONG remaining, BOOL repeat = FALSE,
                    LONG interval = 0) {
        timers.push_back(std::make_unique<Timer>(id, site, remaining, repeat, interval));
        return *timers.back();
    }

    Journal journal;
    std::vector<std::unique_ptr<RecordingSite>> sites;
    std::vector<std::unique_ptr<Timer>> timers;
};

// Tick counts step by up to ~16 ms on some systems; a timer may come that
// much before its nominal time as measured by a finer clock.
constexpr milliseconds kTickSlack{20};

TEST_F(RealTimeTest, OneShotTimerComesOnceAfterItsTime) {
    RecordingSite& site = NewSite();
    Timer& t = NewTimer(5, &site, 100);
    const auto start = Clock::now();
    ASSERT_EQ(m->StartTimer(t.get()), S_OK);
    ASSERT_TRUE(site.WaitForCalls(1));
    const auto calls = site.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_GE(calls[0].when - start, milliseconds(100) - kTickSlack);
    EXPECT_LT(calls[0].when - start, kLongWait);
    EXPECT_EQ(calls[0].id, 5u);
    EXPECT_EQ(calls[0].event, static_cast<DWORD>(TIMER_EVENT_EXPIRED));
    EXPECT_NE(calls[0].thread, GetCurrentThreadId());
    // Taken out of the queue once its call has returned.
    EXPECT_TRUE(Eventually([&] { return !m->IsTimerInList(5); }));
}

TEST_F(RealTimeTest, RepeatingTimerKeepsItsPeriodUntilStopped) {
    RecordingSite& site = NewSite();
    Timer& t = NewTimer(6, &site, 50, TRUE, 50);
    const auto start = Clock::now();
    ASSERT_EQ(m->StartTimer(t.get()), S_OK);
    ASSERT_TRUE(site.WaitForCalls(5));
    ASSERT_EQ(m->StopTimer(6), S_OK);
    const auto calls = site.Calls();
    // The fifth call is due 250 ms after the start: lateness is carried, not
    // added up.
    EXPECT_GE(calls[4].when - start, milliseconds(250) - kTickSlack);
    EXPECT_LT(calls[4].when - start, kLongWait);
    const size_t afterStop = site.CallCount();
    EXPECT_FALSE(site.WaitForCallStarts(afterStop + 1, milliseconds(200)));
}

TEST_F(RealTimeTest, LockIsFreeWhileASiteIsCalled) {
    RecordingSite& site = NewSite();
    Timer& t = NewTimer(7, &site, 0);
    Timer& other = NewTimer(8, nullptr, 100000);
    HRESULT startFromElsewhere = E_FAIL;
    site.SetAction([&](DWORD) {
        // Another client uses the manager while the callback runs; if the
        // lock were held this would not finish.
        auto done = std::async(std::launch::async, [&] {
            HRESULT hr = m->StartTimer(other.get());
            m->StopTimer(8);
            return hr;
        });
        if (done.wait_for(kLongWait) == std::future_status::ready) startFromElsewhere = done.get();
    });
    ASSERT_EQ(m->StartTimer(t.get()), S_OK);
    ASSERT_TRUE(site.WaitForCalls(1));
    EXPECT_EQ(startFromElsewhere, S_OK);
}

// A gate that a callback waits on until the test opens it.
class Gate {
  public:
    void Open() {
        {
            std::lock_guard<std::mutex> g(m_mx);
            m_open = true;
        }
        m_cv.notify_all();
    }
    void Wait() {
        std::unique_lock<std::mutex> lock(m_mx);
        m_cv.wait_for(lock, kLongWait, [&] { return m_open; });
    }

  private:
    std::mutex m_mx;
    std::condition_variable m_cv;
    bool m_open = false;
};

TEST_F(RealTimeTest, PauseWaitsForTheCallbackInProgressAndKeepsAQuitMessage) {
    RecordingSite& site = NewSite();
    auto gate = std::make_shared<Gate>();
    site.SetAction([gate](DWORD) { gate->Wait(); });
    Timer& t = NewTimer(9, &site, 0, TRUE, 10);
    ASSERT_EQ(m->StartTimer(t.get()), S_OK);
    ASSERT_TRUE(site.WaitForCallStarts(1));  // now inside the callback

    std::promise<DWORD> pauserThread;
    std::promise<void> queueReady;
    std::atomic<bool> pauseReturned{false};
    std::promise<bool> quitKept;
    std::thread pauser([&] {
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // this thread now has a queue
        pauserThread.set_value(GetCurrentThreadId());
        queueReady.get_future().wait();
        m->PauseTimers();
        pauseReturned = true;
        // The messages that came during the wait were handled, except the
        // quit message, which is left for this thread's own loop.
        bool sawQuit = false, sawOther = false;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            sawQuit |= msg.message == WM_QUIT;
            sawOther |= msg.message != WM_QUIT;
        }
        quitKept.set_value(sawQuit && !sawOther);
    });
    const DWORD pauserId = pauserThread.get_future().get();
    queueReady.set_value();

    // While the callback runs, PauseTimers does not return; it still takes
    // the messages posted to its thread.
    ASSERT_TRUE(PostThreadMessageA(pauserId, WM_USER + 5, 0, 0));
    ASSERT_TRUE(PostThreadMessageA(pauserId, WM_QUIT, 3, 0));
    EXPECT_FALSE(site.WaitForCalls(1, milliseconds(300)));
    EXPECT_FALSE(pauseReturned.load());

    gate->Open();
    pauser.join();
    EXPECT_TRUE(pauseReturned.load());
    auto kept = quitKept.get_future();
    EXPECT_TRUE(kept.get());

    // Paused: the repeating timer does not come again.
    const size_t calls = site.CallCount();
    EXPECT_FALSE(site.WaitForCallStarts(calls + 1, milliseconds(300)));
    ASSERT_EQ(m->ResumeTimers(), S_OK);
    EXPECT_TRUE(site.WaitForCallStarts(calls + 1));
    m->StopTimer(9);
}

TEST_F(RealTimeTest, PauseFromInsideACallbackDoesNotWaitForItself) {
    RecordingSite& site = NewSite();
    Timer& t = NewTimer(10, &site, 0, TRUE, 10);
    std::atomic<bool> pausedInside{false};
    site.SetAction([&](DWORD) {
        if (!pausedInside.exchange(true)) m->PauseTimers();
    });
    ASSERT_EQ(m->StartTimer(t.get()), S_OK);
    ASSERT_TRUE(site.WaitForCalls(1));
    EXPECT_FALSE(site.WaitForCallStarts(2, milliseconds(300)));
    EXPECT_TRUE(m->IsTimerInList(10));
    ASSERT_EQ(m->ResumeTimers(), S_OK);
    EXPECT_TRUE(site.WaitForCalls(2));
    m->StopTimer(10);
}

TEST_F(RealTimeTest, LastReleaseFromInsideACallbackLetsTheCallbackFinish) {
    RecordingSite& site = NewSite();
    Timer& t = NewTimer(11, &site, 0, TRUE, 0);  // would repeat without end
    std::atomic<ULONG> released{99};
    CHorolog* h = m;
    m = nullptr;  // the callback gives back the fixture's reference
    site.SetAction([&](DWORD id) {
        if (released.load() != 99) return;
        released = h->Release();
        // The manager stays usable until the callback returns.
        h->StopTimer(id + 1000);
    });
    ASSERT_EQ(h->StartTimer(t.get()), S_OK);
    ASSERT_TRUE(site.WaitForCalls(1));
    EXPECT_TRUE(Eventually(AllCountersZero));  // destroyed by the scheduler thread
    EXPECT_EQ(released.load(), 0u);
    EXPECT_EQ(site.CallCount(), 1u);  // nothing more was dispatched
    EXPECT_EQ(site.Refs(), 1u);
}

TEST_F(RealTimeTest, LastReleaseEndsARunningScheduler) {
    RecordingSite& site = NewSite();
    Timer& t = NewTimer(12, &site, 5, TRUE, 5);
    ASSERT_EQ(m->StartTimer(t.get()), S_OK);
    ASSERT_TRUE(site.WaitForCalls(3));
    EXPECT_EQ(ReleaseManager(), 0u);
    // Release returned after the thread had ended: no call can follow.
    const size_t calls = site.CallCount();
    EXPECT_EQ(CHorolog::m_uiObjectCount.load(), 0u);
    EXPECT_FALSE(site.WaitForCallStarts(calls + 1, milliseconds(100)));
}

TEST_F(RealTimeTest, ManyTimersComeInDueOrder) {
    RecordingSite& site = NewSite();
    site.SetAction([this](DWORD id) { journal.Add(id); });
    // Started while the running scheduler is paused, so that all count from
    // the same moment however slowly this thread gets through the starts.
    Timer& first = NewTimer(99, nullptr, 100000);
    ASSERT_EQ(m->StartTimer(first.get()), S_OK);
    ASSERT_EQ(m->StopTimer(99), S_OK);
    ASSERT_EQ(m->PauseTimers(), S_OK);
    const LONG dues[] = {120, 40, 80, 40, 160, 0};
    for (size_t i = 0; i < sizeof dues / sizeof dues[0]; ++i)
        ASSERT_EQ(m->StartTimer(NewTimer(static_cast<DWORD>(i + 1), &site, dues[i]).get()), S_OK);
    ASSERT_EQ(m->ResumeTimers(), S_OK);
    ASSERT_TRUE(journal.WaitForSize(6));
    // Equal due times keep their order of starting.
    EXPECT_EQ(journal.Ids(), (std::vector<DWORD>{6, 2, 4, 3, 1, 5}));
}

}  // namespace
