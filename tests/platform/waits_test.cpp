// Events, mutexes, waits and APCs.
#include "kernel_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <vector>

using namespace kernel_test;
using std::chrono::steady_clock;

TEST(Events, ResetKindAndInitialState) {
    struct Case {
        bool manual;
        bool initial;
        // Results of three waits with time-out 0, the first after SetEvent
        // when the event starts reset.
        DWORD waits[3];
    };
    const Case cases[] = {
        {false, false, {WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_TIMEOUT}},
        {false, true, {WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_TIMEOUT}},
        {true, false, {WAIT_OBJECT_0, WAIT_OBJECT_0, WAIT_OBJECT_0}},
        {true, true, {WAIT_OBJECT_0, WAIT_OBJECT_0, WAIT_OBJECT_0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "manual " << c.manual << ", initial " << c.initial);
        Handle event = new_event(c.manual, c.initial);
        ASSERT_TRUE(event);
        if (!c.initial) {
            EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
            ASSERT_TRUE(SetEvent(event.get()));
        }
        for (DWORD expected : c.waits) EXPECT_EQ(WaitForSingleObject(event.get(), 0), expected);
        ASSERT_TRUE(ResetEvent(event.get()));
        EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
    }
}

TEST(Events, AutoResetSignalReleasesExactlyOneWaiter) {
    Handle event = new_event(false, false);
    Handle woke = new_event(false, false);
    std::atomic<int> released{0};
    auto waiter = [&]() -> DWORD {
        if (WaitForSingleObject(event.get(), kLongWait) != WAIT_OBJECT_0) return 1;
        ++released;
        SetEvent(woke.get());
        return 0;
    };
    Handle a = start_thread(waiter);
    Handle b = start_thread(waiter);
    ASSERT_TRUE(a && b);

    ASSERT_TRUE(SetEvent(event.get()));
    ASSERT_EQ(WaitForSingleObject(woke.get(), kLongWait), WAIT_OBJECT_0);
    // The signal was consumed: the other waiter stays blocked.
    EXPECT_EQ(WaitForSingleObject(woke.get(), 200), WAIT_TIMEOUT);
    EXPECT_EQ(released.load(), 1);

    ASSERT_TRUE(SetEvent(event.get()));
    const HANDLE threads[] = {a.get(), b.get()};
    ASSERT_EQ(WaitForMultipleObjects(2, threads, TRUE, kLongWait), WAIT_OBJECT_0);
    EXPECT_EQ(released.load(), 2);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

TEST(Waits, TimeOutRespectsTheLowerBound) {
    Handle event = new_event();
    for (DWORD ms : {0u, 100u}) {
        SCOPED_TRACE(ms);
        const auto start = steady_clock::now();
        EXPECT_EQ(WaitForSingleObject(event.get(), ms), WAIT_TIMEOUT);
        const HANDLE handles[] = {event.get()};
        EXPECT_EQ(WaitForMultipleObjects(1, handles, FALSE, ms), WAIT_TIMEOUT);
        EXPECT_EQ(MsgWaitForMultipleObjectsEx(1, handles, ms, QS_POSTMESSAGE, 0), WAIT_TIMEOUT);
        const long long elapsed = ms_since(start);
        // Three waits; allow each a little of the system tick's slack.
        EXPECT_GE(elapsed, 3 * static_cast<long long>(ms) * 9 / 10);
        EXPECT_LT(elapsed, 3 * static_cast<long long>(ms) + kLongWait);
    }
}

TEST(Waits, WakesWhenAnotherThreadSignals) {
    Handle event = new_event(true, false);
    Handle started = new_event(true, false);
    Handle waiter = start_thread([&]() -> DWORD {
        SetEvent(started.get());
        return WaitForSingleObject(event.get(), INFINITE);
    });
    ASSERT_EQ(WaitForSingleObject(started.get(), kLongWait), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(waiter.get(), 50), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(event.get()));
    ASSERT_EQ(WaitForSingleObject(waiter.get(), kLongWait), WAIT_OBJECT_0);
    DWORD code = 1;
    ASSERT_TRUE(GetExitCodeThread(waiter.get(), &code));
    EXPECT_EQ(code, WAIT_OBJECT_0);
}

TEST(Waits, WaitForMultipleAnyAndAll) {
    Handle e0 = new_event(false, false), e1 = new_event(false, false), e2 = new_event(true, false);
    const HANDLE handles[] = {e0.get(), e1.get(), e2.get()};

    // Any: the lowest signalled index wins and only it is consumed.
    SetEvent(e1.get());
    SetEvent(e2.get());
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, handles, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForSingleObject(e1.get(), 0), WAIT_TIMEOUT);

    // All: nothing is taken until every object is signalled.
    SetEvent(e1.get());
    EXPECT_EQ(WaitForMultipleObjects(3, handles, TRUE, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(e1.get(), 0), WAIT_OBJECT_0) << "e1 must not have been consumed";
    SetEvent(e1.get());

    Handle setter = start_thread([&]() -> DWORD { return SetEvent(e0.get()) ? 0 : 1; });
    EXPECT_EQ(WaitForMultipleObjects(3, handles, TRUE, kLongWait), WAIT_OBJECT_0);
    // Both auto-reset events were consumed; the manual-reset one stays set.
    EXPECT_EQ(WaitForSingleObject(e0.get(), 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(e1.get(), 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(e2.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(setter.get(), kLongWait), WAIT_OBJECT_0);
}

TEST(Waits, InvalidHandlesFailTheWait) {
    Handle good = new_event(true, true);
    for (HANDLE bad : {HANDLE(nullptr), bogus_handle()}) {
        const HANDLE pair[] = {good.get(), bad};
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(bad, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        SetLastError(0);
        EXPECT_EQ(WaitForMultipleObjects(2, pair, FALSE, 0), WAIT_FAILED)
            << "a bad handle fails the wait even when another object is signalled";
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        SetLastError(0);
        EXPECT_EQ(MsgWaitForMultipleObjectsEx(2, pair, 0, QS_POSTMESSAGE, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
}

TEST(Mutexes, OwnershipIsRecursiveAndPerThread) {
    Handle mutex(CreateMutexA(nullptr, TRUE, nullptr));
    ASSERT_TRUE(mutex);
    EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0) << "the owner re-enters";

    auto try_take = [&]() -> DWORD {
        const DWORD result = WaitForSingleObject(mutex.get(), 0);
        if (result == WAIT_OBJECT_0) ReleaseMutex(mutex.get());
        return result;
    };
    auto taken_by_other_thread = [&] {
        Handle other = start_thread(try_take);
        DWORD code = 0;
        WaitForSingleObject(other.get(), kLongWait);
        GetExitCodeThread(other.get(), &code);
        return code;
    };

    EXPECT_EQ(taken_by_other_thread(), WAIT_TIMEOUT);
    ASSERT_TRUE(ReleaseMutex(mutex.get()));
    EXPECT_EQ(taken_by_other_thread(), WAIT_TIMEOUT) << "still held once";

    Handle other = start_thread([&]() -> DWORD {
        SetLastError(0);
        return ReleaseMutex(mutex.get()) ? 0 : GetLastError();
    });
    ASSERT_EQ(WaitForSingleObject(other.get(), kLongWait), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(other.get(), &code);
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_NOT_OWNER)) << "only the owner may release";

    ASSERT_TRUE(ReleaseMutex(mutex.get()));
    EXPECT_EQ(taken_by_other_thread(), WAIT_OBJECT_0);
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(mutex.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
}

TEST(Mutexes, OwnerExitAbandonsTheMutex) {
    Handle mutex(CreateMutexA(nullptr, FALSE, nullptr));
    Handle owner = start_thread([&]() -> DWORD { return WaitForSingleObject(mutex.get(), 0); });
    ASSERT_EQ(WaitForSingleObject(owner.get(), kLongWait), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeThread(owner.get(), &code);
    ASSERT_EQ(code, WAIT_OBJECT_0);

    EXPECT_EQ(WaitForSingleObject(mutex.get(), kLongWait), WAIT_ABANDONED);
    // The abandoned wait made this thread the owner.
    EXPECT_TRUE(ReleaseMutex(mutex.get()));
    EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex.get()));
}

namespace {

std::vector<ULONG_PTR>* g_apc_log = nullptr;
DWORD g_apc_thread = 0;

VOID CALLBACK log_apc(ULONG_PTR value) {
    g_apc_log->push_back(value);
    g_apc_thread = GetCurrentThreadId();
}

}  // namespace

TEST(Apcs, RunOnlyInAlertableWaitsInQueueOrder) {
    std::vector<ULONG_PTR> log;
    g_apc_log = &log;
    Handle event = new_event();

    ASSERT_NE(QueueUserAPC(&log_apc, GetCurrentThread(), 1), 0u);
    ASSERT_NE(QueueUserAPC(&log_apc, GetCurrentThread(), 2), 0u);
    ASSERT_NE(QueueUserAPC(&log_apc, GetCurrentThread(), 3), 0u);

    EXPECT_EQ(WaitForSingleObject(event.get(), 20), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObjectEx(event.get(), 0, FALSE), WAIT_TIMEOUT);
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 0, QS_POSTMESSAGE, 0), WAIT_TIMEOUT);
    Sleep(1);
    EXPECT_TRUE(log.empty()) << "non-alertable waits leave APCs queued";

    EXPECT_EQ(WaitForSingleObjectEx(event.get(), INFINITE, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(log, (std::vector<ULONG_PTR>{1, 2, 3}));
    EXPECT_EQ(g_apc_thread, GetCurrentThreadId());

    EXPECT_EQ(SleepEx(0, TRUE), 0u) << "nothing left to run";
    g_apc_log = nullptr;
}

TEST(Apcs, EveryAlertableWaitKindRunsThem) {
    std::vector<ULONG_PTR> log;
    g_apc_log = &log;
    Handle event = new_event();
    const HANDLE handles[] = {event.get()};

    struct Case {
        const char* name;
        DWORD (*wait)(HANDLE);
        DWORD expected;
    };
    const Case cases[] = {
        {"SleepEx", [](HANDLE) { return SleepEx(INFINITE, TRUE); }, WAIT_IO_COMPLETION},
        {"WaitForSingleObjectEx", [](HANDLE h) { return WaitForSingleObjectEx(h, INFINITE, TRUE); },
         WAIT_IO_COMPLETION},
        {"MsgWaitForMultipleObjectsEx",
         [](HANDLE h) {
             return MsgWaitForMultipleObjectsEx(1, &h, INFINITE, QS_POSTMESSAGE, MWMO_ALERTABLE);
         },
         WAIT_IO_COMPLETION},
    };
    ULONG_PTR n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(QueueUserAPC(&log_apc, GetCurrentThread(), ++n), 0u);
        EXPECT_EQ(c.wait(handles[0]), c.expected);
        EXPECT_EQ(log.size(), n);
    }
    g_apc_log = nullptr;
}

TEST(Apcs, QueuedToAnotherThreadRunThere) {
    std::vector<ULONG_PTR> log;
    g_apc_log = &log;
    Handle ready = new_event();
    DWORD worker_id = 0;
    Handle worker = start_thread(
        [&]() -> DWORD {
            SetEvent(ready.get());
            return SleepEx(INFINITE, TRUE);
        },
        0, &worker_id);
    ASSERT_EQ(WaitForSingleObject(ready.get(), kLongWait), WAIT_OBJECT_0);
    ASSERT_NE(QueueUserAPC(&log_apc, worker.get(), 7), 0u);
    ASSERT_EQ(WaitForSingleObject(worker.get(), kLongWait), WAIT_OBJECT_0);

    DWORD code = 0;
    GetExitCodeThread(worker.get(), &code);
    EXPECT_EQ(code, WAIT_IO_COMPLETION);
    EXPECT_EQ(log, std::vector<ULONG_PTR>{7});
    EXPECT_EQ(g_apc_thread, worker_id);
    g_apc_log = nullptr;
}
