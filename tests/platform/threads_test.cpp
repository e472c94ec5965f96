// Threads: handles, ids, exit codes, suspended creation, per-thread errors.
#include "kernel_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>
#include <vector>

using namespace kernel_test;

TEST(Threads, HandleSignalledAtExitWithExitCode) {
    Handle go = new_event(true, false);
    DWORD reported_id = 0;
    DWORD id_inside = 0;
    Handle thread = start_thread(
        [&]() -> DWORD {
            id_inside = GetCurrentThreadId();
            WaitForSingleObject(go.get(), INFINITE);
            return 42;
        },
        0, &reported_id);
    ASSERT_TRUE(thread);

    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_TIMEOUT);

    ASSERT_TRUE(SetEvent(go.get()));
    ASSERT_EQ(WaitForSingleObject(thread.get(), kLongWait), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_OBJECT_0) << "stays signalled";
    ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
    EXPECT_EQ(code, 42u);

    EXPECT_NE(reported_id, 0u);
    EXPECT_EQ(id_inside, reported_id);
    EXPECT_EQ(GetThreadId(thread.get()), reported_id) << "the id stays known after the exit";
    EXPECT_NE(reported_id, GetCurrentThreadId());
}

TEST(Threads, CreateSuspendedRunsOnlyAfterResume) {
    std::atomic<bool> ran{false};
    Handle thread = start_thread(
        [&]() -> DWORD {
            ran = true;
            return 7;
        },
        CREATE_SUSPENDED);
    ASSERT_TRUE(thread);
    EXPECT_EQ(WaitForSingleObject(thread.get(), 100), WAIT_TIMEOUT);
    EXPECT_FALSE(ran.load());

    EXPECT_EQ(ResumeThread(thread.get()), 1u) << "returns the previous suspend count";
    ASSERT_EQ(WaitForSingleObject(thread.get(), kLongWait), WAIT_OBJECT_0);
    EXPECT_TRUE(ran.load());
    DWORD code = 0;
    GetExitCodeThread(thread.get(), &code);
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(ResumeThread(thread.get()), 0u) << "a thread that is not suspended";
}

TEST(Threads, IdsAreStableAndDistinctAlsoForForeignThreads) {
    const DWORD main_id = GetCurrentThreadId();
    EXPECT_NE(main_id, 0u);
    EXPECT_EQ(GetCurrentThreadId(), main_id);

    // Threads not made by CreateThread get ids too.
    DWORD foreign[2] = {0, 0};
    bool stable[2] = {false, false};
    std::thread t0([&] {
        foreign[0] = GetCurrentThreadId();
        stable[0] = GetCurrentThreadId() == foreign[0];
    });
    std::thread t1([&] {
        foreign[1] = GetCurrentThreadId();
        stable[1] = GetCurrentThreadId() == foreign[1];
    });
    t0.join();
    t1.join();
    EXPECT_TRUE(stable[0] && stable[1]);
    EXPECT_NE(foreign[0], 0u);
    EXPECT_NE(foreign[1], 0u);
    EXPECT_NE(foreign[0], foreign[1]);
    EXPECT_NE(foreign[0], main_id);

    // While their handles are open, ended threads keep distinct ids.
    std::vector<Handle> handles;
    std::set<DWORD> ids{main_id};
    for (int i = 0; i < 16; ++i) {
        DWORD id = 0;
        handles.push_back(start_thread([]() -> DWORD { return 0; }, 0, &id));
        ASSERT_TRUE(handles.back());
        ASSERT_EQ(WaitForSingleObject(handles.back().get(), kLongWait), WAIT_OBJECT_0);
        EXPECT_TRUE(ids.insert(id).second) << "id " << id << " reused";
    }
    for (const Handle& h : handles) EXPECT_EQ(ids.count(GetThreadId(h.get())), 1u);
}

TEST(Threads, LastErrorIsPerThread) {
    SetLastError(1111);
    Handle thread = start_thread([]() -> DWORD {
        const DWORD inherited = GetLastError();
        SetLastError(2222);
        return inherited == 1111 ? 1 : 0;
    });
    ASSERT_EQ(WaitForSingleObject(thread.get(), kLongWait), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeThread(thread.get(), &code);
    EXPECT_EQ(code, 0u) << "a new thread does not see another thread's error";
    EXPECT_EQ(GetLastError(), 1111u);
}

TEST(Threads, ThreadOperationsRejectOtherHandles) {
    Handle event = new_event();
    DWORD code = 0;
    SetLastError(0);
    EXPECT_FALSE(GetExitCodeThread(event.get(), &code));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_EQ(GetThreadId(event.get()), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_EQ(ResumeThread(event.get()), static_cast<DWORD>(-1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    Handle thread = start_thread([]() -> DWORD { return 0; });
    EXPECT_TRUE(SetThreadPriority(thread.get(), THREAD_PRIORITY_NORMAL));
    EXPECT_EQ(GetThreadId(GetCurrentThread()), GetCurrentThreadId());
    EXPECT_EQ(WaitForSingleObject(thread.get(), kLongWait), WAIT_OBJECT_0);
}

TEST(Threads, ClosingTheHandleLeavesTheThreadRunning) {
    Handle go = new_event(true, false);
    Handle done = new_event(true, false);
    Handle thread = start_thread([&]() -> DWORD {
        WaitForSingleObject(go.get(), INFINITE);
        SetEvent(done.get());
        return 0;
    });
    ASSERT_TRUE(thread);
    thread.reset();
    ASSERT_TRUE(SetEvent(go.get()));
    EXPECT_EQ(WaitForSingleObject(done.get(), kLongWait), WAIT_OBJECT_0);
}

// A thread the layer did not start still has its state torn down at exit:
// its queue goes and the mutex it held is abandoned.
TEST(Threads, ForeignThreadStateEndsWithTheThread) {
    Handle mutex(CreateMutexA(nullptr, FALSE, nullptr));
    DWORD id = 0;
    bool ready = false;
    std::thread foreign([&] {
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
        id = GetCurrentThreadId();
        ready = PostThreadMessageA(id, WM_USER, 0, 0) &&
                WaitForSingleObject(mutex.get(), 0) == WAIT_OBJECT_0;
    });
    foreign.join();
    ASSERT_TRUE(ready);

    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageA(id, WM_USER, 0, 0));
#if WINPLAT_NATIVE
    // As documented; Wine says ERROR_INVALID_PARAMETER once no handle to
    // the thread is left.
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
#endif
    EXPECT_EQ(WaitForSingleObject(mutex.get(), kLongWait), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(mutex.get()));
}
