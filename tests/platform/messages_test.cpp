// Thread message queues.
#include "kernel_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

using namespace kernel_test;

namespace {

constexpr UINT kMsg = WM_USER + 10;

// Creates the calling thread's queue and empties it.
void drain_own_queue() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}

// A thread that gets its queue when told to and then collects every
// message with GetMessageA until WM_QUIT.
struct Receiver {
    Handle make_queue = new_event(true, false);
    Handle has_queue = new_event(true, false);
    Handle started = new_event(true, false);
    std::vector<MSG> received;
    DWORD id = 0;
    Handle thread;

    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    // A test that stopped early still ends the thread before `received` goes.
    ~Receiver() {
        create_queue();
        finish();
    }

    Receiver() {
        thread = start_thread(
            [this]() -> DWORD {
                SetEvent(started.get());
                WaitForSingleObject(make_queue.get(), INFINITE);
                MSG msg;
                PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
                SetEvent(has_queue.get());
                BOOL got;
                while ((got = GetMessageA(&msg, nullptr, 0, 0)) > 0) received.push_back(msg);
                return got == 0 ? static_cast<DWORD>(msg.wParam) : 0xBAD;
            },
            0, &id);
    }
    bool create_queue() {
        SetEvent(make_queue.get());
        return WaitForSingleObject(has_queue.get(), kLongWait) == WAIT_OBJECT_0;
    }
    DWORD finish() {
        PostThreadMessageA(id, WM_QUIT, 5, 0);
        if (WaitForSingleObject(thread.get(), kLongWait) != WAIT_OBJECT_0) return 0xDEAD;
        DWORD code = 0;
        GetExitCodeThread(thread.get(), &code);
        return code;
    }
};

}  // namespace

TEST(Messages, PostFailsUntilTheThreadHasAQueue) {
    Receiver receiver;
    ASSERT_EQ(WaitForSingleObject(receiver.started.get(), kLongWait), WAIT_OBJECT_0);

    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageA(receiver.id, kMsg, 1, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));

    ASSERT_TRUE(receiver.create_queue());
    EXPECT_TRUE(PostThreadMessageA(receiver.id, kMsg, 2, 0));
    EXPECT_EQ(receiver.finish(), 5u) << "GetMessageA returned 0 for WM_QUIT with its wParam";
    ASSERT_EQ(receiver.received.size(), 1u);
    EXPECT_EQ(receiver.received[0].wParam, 2u);
    EXPECT_EQ(receiver.received[0].hwnd, nullptr);
}

TEST(Messages, PostToAnEndedThreadFails) {
    Receiver receiver;
    ASSERT_TRUE(receiver.create_queue());
    ASSERT_EQ(receiver.finish(), 5u);
    // The queue went with the thread.
    SetLastError(0);
    EXPECT_FALSE(PostThreadMessageA(receiver.id, kMsg, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
}

TEST(Messages, DeliveredInPostingOrderWithTheirParameters) {
    Receiver receiver;
    ASSERT_TRUE(receiver.create_queue());
    constexpr int kCount = 500;
    for (int i = 0; i < kCount; ++i)
        ASSERT_TRUE(PostThreadMessageA(receiver.id, kMsg + (i % 3), static_cast<WPARAM>(i),
                                       static_cast<LPARAM>(-i)));
    ASSERT_EQ(receiver.finish(), 5u);
    ASSERT_EQ(receiver.received.size(), static_cast<size_t>(kCount));
    for (int i = 0; i < kCount; ++i) {
        const MSG& msg = receiver.received[i];
        EXPECT_EQ(msg.message, kMsg + (i % 3));
        EXPECT_EQ(msg.wParam, static_cast<WPARAM>(i));
        EXPECT_EQ(msg.lParam, static_cast<LPARAM>(-i));
    }
}

TEST(Messages, PeekRemovesOrLeavesAndFiltersByRange) {
    drain_own_queue();
    const DWORD self = GetCurrentThreadId();
    for (UINT m : {kMsg + 1, kMsg + 2, kMsg + 3}) ASSERT_TRUE(PostThreadMessageA(self, m, m, 0));

    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.message, kMsg + 1);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, kMsg + 2, kMsg + 2, PM_REMOVE));
    EXPECT_EQ(msg.message, kMsg + 2);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, kMsg + 2, kMsg + 2, PM_REMOVE));
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, kMsg + 3, kMsg + 9, PM_REMOVE));
    EXPECT_EQ(msg.message, kMsg + 3);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, kMsg + 1);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST(Messages, QuitComesAfterPostedMessages) {
    drain_own_queue();
    PostQuitMessage(3);
    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), kMsg, 0, 0));

    MSG msg;
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.message, kMsg);
    EXPECT_FALSE(TranslateMessage(&msg)) << "nothing to translate in a thread message";
    EXPECT_EQ(DispatchMessageA(&msg), 0) << "a thread message has no window to go to";
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_EQ(msg.wParam, 3u);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) << "WM_QUIT is delivered once";
}

TEST(MessageWaits, NewInputMeansPostedSinceTheLastLook) {
    drain_own_queue();
    const DWORD self = GetCurrentThreadId();
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_POSTMESSAGE), WAIT_TIMEOUT);

    ASSERT_TRUE(PostThreadMessageA(self, kMsg, 0, 0));
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_POSTMESSAGE), WAIT_OBJECT_0);
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT), WAIT_OBJECT_0);

    // Seen but left in the queue: no longer new, yet still available.
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_POSTMESSAGE), WAIT_TIMEOUT);
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 0, QS_POSTMESSAGE, MWMO_INPUTAVAILABLE),
              WAIT_OBJECT_0);
    drain_own_queue();
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 0, QS_POSTMESSAGE, MWMO_INPUTAVAILABLE),
              WAIT_TIMEOUT);
}

TEST(MessageWaits, ObjectsAndInputReportTheirOwnIndex) {
    drain_own_queue();
    Handle e0 = new_event(), e1 = new_event();
    const HANDLE handles[] = {e0.get(), e1.get()};

    SetEvent(e1.get());
    EXPECT_EQ(MsgWaitForMultipleObjects(2, handles, FALSE, kLongWait, QS_POSTMESSAGE),
              WAIT_OBJECT_0 + 1);

    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), kMsg, 0, 0));
    EXPECT_EQ(MsgWaitForMultipleObjects(2, handles, FALSE, kLongWait, QS_POSTMESSAGE),
              WAIT_OBJECT_0 + 2);
    drain_own_queue();

    // A message posted by another thread wakes a waiting thread.
    Handle poster = start_thread([self = GetCurrentThreadId()]() -> DWORD {
        return PostThreadMessageA(self, kMsg, 0, 0) ? 0 : 1;
    });
    EXPECT_EQ(MsgWaitForMultipleObjectsEx(2, handles, kLongWait, QS_POSTMESSAGE, 0),
              WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForSingleObject(poster.get(), kLongWait), WAIT_OBJECT_0);
    drain_own_queue();
}

// The loop of a message pump: wait for input, then peek until empty. No
// message may be stranded between the last peek and the next wait.
TEST(MessageWaits, PumpLoopLosesNoMessage) {
    constexpr int kMessages = 2000;
    constexpr UINT kDone = WM_USER + 99;
    Handle ready = new_event(true, false);
    std::atomic<int> failed_waits{0};
    int received = 0;
    DWORD pump_id = 0;
    Handle pump = start_thread(
        [&]() -> DWORD {
            drain_own_queue();
            SetEvent(ready.get());
            for (;;) {
                const DWORD r = MsgWaitForMultipleObjectsEx(0, nullptr, kLongWait, QS_POSTMESSAGE,
                                                            MWMO_ALERTABLE);
                if (r == WAIT_TIMEOUT || r == WAIT_FAILED) {
                    ++failed_waits;
                    return 1;
                }
                MSG msg;
                while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                    if (msg.message == kDone) return 0;
                    ++received;
                }
            }
        },
        0, &pump_id);
    ASSERT_EQ(WaitForSingleObject(ready.get(), kLongWait), WAIT_OBJECT_0);

    // Two posting threads, so posts land at every point of the pump's loop.
    auto poster = [&]() -> DWORD {
        for (int i = 0; i < kMessages / 2; ++i)
            if (!PostThreadMessageA(pump_id, kMsg, 0, 0)) return 1;
        return 0;
    };
    Handle p1 = start_thread(poster), p2 = start_thread(poster);
    const HANDLE posters[] = {p1.get(), p2.get()};
    ASSERT_EQ(WaitForMultipleObjects(2, posters, TRUE, kLongWait), WAIT_OBJECT_0);
    ASSERT_TRUE(PostThreadMessageA(pump_id, kDone, 0, 0));

    ASSERT_EQ(WaitForSingleObject(pump.get(), 3 * kLongWait), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeThread(pump.get(), &code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(failed_waits.load(), 0);
    EXPECT_EQ(received, kMessages);
}

TEST(MessageWaits, OnlyTheRequestedInputTypesWake) {
    drain_own_queue();
    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), kMsg, 0, 0));
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_KEY | QS_MOUSEBUTTON),
              WAIT_TIMEOUT);
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLPOSTMESSAGE), WAIT_OBJECT_0);
    drain_own_queue();
}

#if WINPLAT_NATIVE
TEST(MessagesNative, QueueRefusesPostsBeyondItsLimit) {
    drain_own_queue();
    const DWORD self = GetCurrentThreadId();
    int accepted = 0;
    while (accepted < 20000 && PostThreadMessageA(self, kMsg, 0, 0)) ++accepted;
    EXPECT_EQ(accepted, 10000);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));
    drain_own_queue();
    EXPECT_TRUE(PostThreadMessageA(self, kMsg, 0, 0));
    drain_own_queue();
}
#endif
