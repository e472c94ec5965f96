// Waitable timers: due times, periods, reset kinds, completion routines.
#include "kernel_test_support.h"
#include "winplat/testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

using namespace kernel_test;
using std::chrono::steady_clock;

namespace {

LARGE_INTEGER relative_ms(LONGLONG ms) {
    LARGE_INTEGER due;
    due.QuadPart = -ms * kMs100ns;
    return due;
}

LARGE_INTEGER absolute(LONGLONG filetime) {
    LARGE_INTEGER due;
    due.QuadPart = filetime;
    return due;
}

Handle new_timer(bool manual_reset, const char* name = nullptr) {
    return Handle(CreateWaitableTimerA(nullptr, manual_reset, name));
}

// What completion routines saw.
struct RoutineLog {
    std::atomic<int> calls{0};
    std::atomic<DWORD> thread{0};
    std::atomic<LONGLONG> time{0};
};

VOID CALLBACK record_routine(LPVOID arg, DWORD low, DWORD high) {
    auto* log = static_cast<RoutineLog*>(arg);
    log->thread = GetCurrentThreadId();
    log->time = static_cast<LONGLONG>((static_cast<ULONGLONG>(high) << 32) | low);
    ++log->calls;
}

}  // namespace

TEST(WaitableTimers, RelativeOneShotSignalsOnceAfterItsDueTime) {
    for (bool manual : {false, true}) {
        SCOPED_TRACE(manual ? "manual-reset" : "synchronization");
        Handle timer = new_timer(manual);
        ASSERT_TRUE(timer);
        EXPECT_EQ(WaitForSingleObject(timer.get(), 0), WAIT_TIMEOUT) << "created non-signalled";

        const auto start = steady_clock::now();
        const LARGE_INTEGER due = relative_ms(100);
        ASSERT_TRUE(SetWaitableTimer(timer.get(), &due, 0, nullptr, nullptr, FALSE));
        ASSERT_EQ(WaitForSingleObject(timer.get(), kLongWait), WAIT_OBJECT_0);
        EXPECT_GE(ms_since(start), 85);

        // A synchronization timer's signal is taken by the wait; a
        // manual-reset timer stays signalled. Neither signals again.
        EXPECT_EQ(WaitForSingleObject(timer.get(), 0), manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
        if (!manual) {
            EXPECT_EQ(WaitForSingleObject(timer.get(), 150), WAIT_TIMEOUT);
        }
    }
}

TEST(WaitableTimers, AbsoluteDueTimes) {
    struct Case {
        const char* name;
        LONGLONG offset_ms;  // from now
        long long min_elapsed_ms;
    };
    const Case cases[] = {
        {"a minute ago signals at once", -60 * 1000, 0},
        {"a year ago signals at once", -365LL * 24 * 3600 * 1000, 0},
        {"in 150 ms", 150, 120},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Handle timer = new_timer(false);
        const auto start = steady_clock::now();
        const LARGE_INTEGER due = absolute(filetime_now() + c.offset_ms * kMs100ns);
        ASSERT_TRUE(SetWaitableTimer(timer.get(), &due, 0, nullptr, nullptr, TRUE));
        ASSERT_EQ(WaitForSingleObject(timer.get(), kLongWait), WAIT_OBJECT_0);
        EXPECT_GE(ms_since(start), c.min_elapsed_ms);
    }
}

TEST(WaitableTimers, PeriodicTimerSignalsUntilCancelled) {
    Handle timer = new_timer(false);
    const auto start = steady_clock::now();
    const LARGE_INTEGER due = relative_ms(10);
    ASSERT_TRUE(SetWaitableTimer(timer.get(), &due, 40, nullptr, nullptr, FALSE));
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(WaitForSingleObject(timer.get(), kLongWait), WAIT_OBJECT_0);
    // Due + three periods, less the tick granularity of each wait.
    EXPECT_GE(ms_since(start), 10 + 3 * 40 - 30);

    ASSERT_TRUE(CancelWaitableTimer(timer.get()));
    WaitForSingleObject(timer.get(), 0);  // a signal from just before the cancel
    EXPECT_EQ(WaitForSingleObject(timer.get(), 200), WAIT_TIMEOUT);
}

TEST(WaitableTimers, CancelKeepsTheSignalledState) {
    Handle timer = new_timer(true);
    const LARGE_INTEGER soon = relative_ms(1);
    ASSERT_TRUE(SetWaitableTimer(timer.get(), &soon, 0, nullptr, nullptr, FALSE));
    ASSERT_EQ(WaitForSingleObject(timer.get(), kLongWait), WAIT_OBJECT_0);
    ASSERT_TRUE(CancelWaitableTimer(timer.get()));
    EXPECT_EQ(WaitForSingleObject(timer.get(), 0), WAIT_OBJECT_0);

    // Cancelled before its due time: never signals.
    Handle later = new_timer(true);
    const LARGE_INTEGER due = relative_ms(60);
    ASSERT_TRUE(SetWaitableTimer(later.get(), &due, 0, nullptr, nullptr, FALSE));
    ASSERT_TRUE(CancelWaitableTimer(later.get()));
    EXPECT_EQ(WaitForSingleObject(later.get(), 250), WAIT_TIMEOUT);
}

TEST(WaitableTimers, NamedTimerIsSharedBetweenHandles) {
    const std::string name = "horolog-kernel-test-timer-" +
                             std::to_string(steady_clock::now().time_since_epoch().count());
    Handle first = new_timer(false, name.c_str());
    ASSERT_TRUE(first);
    Handle second = new_timer(false, name.c_str());
    ASSERT_TRUE(second);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

    const LARGE_INTEGER due = relative_ms(20);
    ASSERT_TRUE(SetWaitableTimer(first.get(), &due, 0, nullptr, nullptr, FALSE));
    EXPECT_EQ(WaitForSingleObject(second.get(), kLongWait), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(first.get(), 0), WAIT_TIMEOUT) << "one object, one signal";

    // Either handle controls the one timer.
    ASSERT_TRUE(SetWaitableTimer(first.get(), &due, 0, nullptr, nullptr, FALSE));
    ASSERT_TRUE(CancelWaitableTimer(second.get()));
    EXPECT_EQ(WaitForSingleObject(first.get(), 200), WAIT_TIMEOUT);
}

TEST(TimerRoutines, RunOnlyInAlertableWaitsOfTheSettingThread) {
    RoutineLog log;
    Handle timer = new_timer(false);
    const LONGLONG due_at = filetime_now() + 10 * kMs100ns;
    const LARGE_INTEGER due = absolute(due_at);
    ASSERT_TRUE(SetWaitableTimer(timer.get(), &due, 0, &record_routine, &log, FALSE));

    // Signalled, but a non-alertable wait does not run the routine.
    ASSERT_EQ(WaitForSingleObject(timer.get(), kLongWait), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(timer.get(), 20), WAIT_TIMEOUT);
    EXPECT_EQ(log.calls.load(), 0);

    // Another thread's alertable wait does not run it either.
    Handle other = start_thread([]() -> DWORD { return SleepEx(50, TRUE); });
    ASSERT_EQ(WaitForSingleObject(other.get(), kLongWait), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeThread(other.get(), &code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(log.calls.load(), 0);

    EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, kLongWait, QS_POSTMESSAGE, MWMO_ALERTABLE),
              WAIT_IO_COMPLETION);
    EXPECT_EQ(log.calls.load(), 1);
    EXPECT_EQ(log.thread.load(), GetCurrentThreadId());
    // The arguments carry the time of the signal.
    EXPECT_GE(log.time.load(), due_at);
    EXPECT_LE(log.time.load(), filetime_now() + 1000 * kMs100ns);
}

TEST(TimerRoutines, PeriodicTimerQueuesOneCallPerSignal) {
    RoutineLog log;
    Handle done = new_event(true, false);
    Handle worker = start_thread([&]() -> DWORD {
        Handle timer = new_timer(false);
        const LARGE_INTEGER due = relative_ms(5);
        if (!SetWaitableTimer(timer.get(), &due, 20, &record_routine, &log, FALSE)) return 1;
        const auto start = steady_clock::now();
        while (log.calls.load() < 3) {
            if (ms_since(start) > kLongWait) return 2;
            if (SleepEx(kLongWait, TRUE) != WAIT_IO_COMPLETION) return 3;
        }
        CancelWaitableTimer(timer.get());
        return 0;
    });
    ASSERT_EQ(WaitForSingleObject(worker.get(), 3 * kLongWait), WAIT_OBJECT_0);
    DWORD code = 9;
    GetExitCodeThread(worker.get(), &code);
    EXPECT_EQ(code, 0u);
    EXPECT_GE(log.calls.load(), 3);
    EXPECT_EQ(log.thread.load(), GetThreadId(worker.get()));
}

TEST(TimerRoutines, CancelAndResetWithdrawPendingCalls) {
    RoutineLog first, second;
    Handle timer = new_timer(false);
    const LARGE_INTEGER soon = relative_ms(1);

    // Signalled with its call pending, then cancelled: the call goes.
    ASSERT_TRUE(SetWaitableTimer(timer.get(), &soon, 0, &record_routine, &first, FALSE));
    ASSERT_EQ(WaitForSingleObject(timer.get(), kLongWait), WAIT_OBJECT_0);
    ASSERT_TRUE(CancelWaitableTimer(timer.get()));
    EXPECT_EQ(SleepEx(0, TRUE), 0u);
    EXPECT_EQ(first.calls.load(), 0);

    // Set again while a call is pending: only the new setting's routine runs.
    ASSERT_TRUE(SetWaitableTimer(timer.get(), &soon, 0, &record_routine, &first, FALSE));
    ASSERT_EQ(WaitForSingleObject(timer.get(), kLongWait), WAIT_OBJECT_0);
    ASSERT_TRUE(SetWaitableTimer(timer.get(), &soon, 0, &record_routine, &second, FALSE));
    ASSERT_EQ(WaitForSingleObject(timer.get(), kLongWait), WAIT_OBJECT_0);
    EXPECT_EQ(SleepEx(kLongWait, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(first.calls.load(), 0);
    EXPECT_EQ(second.calls.load(), 1);
}

TEST(TimerRoutines, CallForAnEndedThreadIsDropped) {
    RoutineLog log;
    Handle timer = new_timer(true);
    Handle setter = start_thread([&]() -> DWORD {
        const LARGE_INTEGER due = relative_ms(50);
        return SetWaitableTimer(timer.get(), &due, 0, &record_routine, &log, FALSE) ? 0 : 1;
    });
    ASSERT_EQ(WaitForSingleObject(setter.get(), kLongWait), WAIT_OBJECT_0);
    // The timer still signals; its routine has no thread to run on.
    ASSERT_EQ(WaitForSingleObject(timer.get(), kLongWait), WAIT_OBJECT_0);
    EXPECT_EQ(SleepEx(20, TRUE), 0u);
    EXPECT_EQ(log.calls.load(), 0);
}

TEST(WaitableTimers, SetRejectsBadArguments) {
    Handle event = new_event();
    const LARGE_INTEGER due = relative_ms(1);
    for (HANDLE bad : {bogus_handle(), event.get()}) {
        SetLastError(0);
        EXPECT_FALSE(SetWaitableTimer(bad, &due, 0, nullptr, nullptr, FALSE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        SetLastError(0);
        EXPECT_FALSE(CancelWaitableTimer(bad));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
}

#if WINPLAT_NATIVE

TEST(WaitableTimersNative, ClosingTheLastHandleStopsTheTimer) {
    RoutineLog log;
    HANDLE timer = CreateWaitableTimerA(nullptr, FALSE, nullptr);
    const LARGE_INTEGER due = relative_ms(1);
    ASSERT_TRUE(SetWaitableTimer(timer, &due, 5, &record_routine, &log, FALSE));
    ASSERT_EQ(WaitForSingleObject(timer, kLongWait), WAIT_OBJECT_0);  // a call is pending
    ASSERT_TRUE(CloseHandle(timer));
    EXPECT_EQ(SleepEx(60, TRUE), 0u);
    EXPECT_EQ(log.calls.load(), 0);
}

// Absolute timers follow the wall clock: moving it re-evaluates them.
TEST(WaitableTimersNative, AbsoluteTimerFollowsTheWallClock) {
    const LONGLONG hour = 3600LL * 1000 * kMs100ns;
    Handle timer = new_timer(false);

    // Forward: a timer an hour away becomes due.
    LARGE_INTEGER due = absolute(filetime_now() + hour);
    ASSERT_TRUE(SetWaitableTimer(timer.get(), &due, 0, nullptr, nullptr, FALSE));
    EXPECT_EQ(WaitForSingleObject(timer.get(), 50), WAIT_TIMEOUT);
    winplat_test_set_wall_clock_offset(hour + 1000 * kMs100ns);
    EXPECT_EQ(WaitForSingleObject(timer.get(), kLongWait), WAIT_OBJECT_0);
    winplat_test_set_wall_clock_offset(0);

    // Backward: a timer 150 ms away is pushed an hour out, then back.
    due = absolute(filetime_now() + 150 * kMs100ns);
    ASSERT_TRUE(SetWaitableTimer(timer.get(), &due, 0, nullptr, nullptr, FALSE));
    winplat_test_set_wall_clock_offset(-hour);
    EXPECT_EQ(WaitForSingleObject(timer.get(), 400), WAIT_TIMEOUT);
    winplat_test_set_wall_clock_offset(0);
    EXPECT_EQ(WaitForSingleObject(timer.get(), kLongWait), WAIT_OBJECT_0);
}

#endif
