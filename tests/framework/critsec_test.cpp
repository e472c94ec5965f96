// CCriticalSection and its scoped holders.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "framework_test_util.h"

using afxtest::kLongMs;

TEST(CriticalSection, IsReentrantForItsOwner) {
    CCriticalSection cs;
    ASSERT_TRUE(cs.Lock());
    ASSERT_TRUE(cs.Lock());
    ASSERT_TRUE(cs.Lock(0));

    // Still held after two of three releases: another thread cannot take it.
    EXPECT_TRUE(cs.Unlock());
    EXPECT_TRUE(cs.Unlock());
    BOOL taken = TRUE;
    std::thread([&] { taken = cs.Lock(0); }).join();
    EXPECT_FALSE(taken);

    EXPECT_TRUE(cs.Unlock());
    std::thread([&] {
        taken = cs.Lock(0);
        if (taken) cs.Unlock();
    }).join();
    EXPECT_TRUE(taken);
}

TEST(CriticalSection, RefusesUnlockByAThreadThatDoesNotHoldIt) {
    CCriticalSection cs;
    EXPECT_FALSE(cs.Unlock());  // nobody holds it
    ASSERT_TRUE(cs.Lock());
    BOOL unlocked = TRUE;
    std::thread([&] { unlocked = cs.Unlock(); }).join();
    EXPECT_FALSE(unlocked);
    // The owner's hold is intact.
    BOOL taken = TRUE;
    std::thread([&] { taken = cs.Lock(0); }).join();
    EXPECT_FALSE(taken);
    EXPECT_TRUE(cs.Unlock());
}

TEST(CriticalSection, TimedLockWaitsForTheOwnerAtLeastItsTime) {
    CCriticalSection cs;
    ASSERT_TRUE(cs.Lock());
    BOOL taken = TRUE;
    ULONGLONG waited = 0;
    std::thread([&] {
        const ULONGLONG start = ::GetTickCount64();
        taken = cs.Lock(100);
        waited = ::GetTickCount64() - start;
    }).join();
    EXPECT_FALSE(taken);
    EXPECT_GE(waited, 90u);  // tick granularity under Wine is about 16 ms
    cs.Unlock();
}

TEST(CriticalSection, ExcludesOtherThreads) {
    CCriticalSection cs;
    long counter = 0;  // guarded by cs only: a race shows as a lost update
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            CSingleLock lock(&cs, TRUE);
            if (inside.fetch_add(1) != 0) overlapped = true;
            ++counter;
            inside.fetch_sub(1);
        }
    };
    std::thread a(work), b(work), c(work);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(counter, 60000);
    EXPECT_FALSE(overlapped.load());
}

TEST(CriticalSection, ScopedHoldersReleaseWhatTheyHold) {
    CCriticalSection cs;
    auto freeForOthers = [&] {
        BOOL taken = FALSE;
        std::thread([&] {
            taken = cs.Lock(0);
            if (taken) cs.Unlock();
        }).join();
        return taken != FALSE;
    };
    {
        CSingleLock lock(&cs);
        EXPECT_FALSE(lock.IsLocked());
        EXPECT_TRUE(freeForOthers());
        EXPECT_TRUE(lock.Lock());
        EXPECT_TRUE(lock.Lock());  // no second level
        EXPECT_FALSE(freeForOthers());
        EXPECT_TRUE(lock.Unlock());
        EXPECT_TRUE(freeForOthers());  // one Unlock undid it
        lock.Lock();
    }
    EXPECT_TRUE(freeForOthers());
    {
        afx::ScopedLock scoped(cs);
        EXPECT_FALSE(freeForOthers());
    }
    EXPECT_TRUE(freeForOthers());
}
