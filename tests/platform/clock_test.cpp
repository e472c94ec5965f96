// Tick counts and the wall clock.
#include "kernel_test_support.h"
#include "winplat/testing.h"

#include <gtest/gtest.h>

#include <ctime>

using namespace kernel_test;

namespace {

// Lets `ms` milliseconds pass by timing out a wait on an event nobody sets.
void let_time_pass(DWORD ms) {
    Handle never = new_event();
    ASSERT_EQ(WaitForSingleObject(never.get(), ms), WAIT_TIMEOUT);
}

}  // namespace

TEST(Clock, TickCountsAdvanceTogether) {
    const DWORD t0 = GetTickCount();
    const ULONGLONG t0_64 = GetTickCount64();
    let_time_pass(100);
    const DWORD elapsed = GetTickCount() - t0;
    const ULONGLONG elapsed_64 = GetTickCount64() - t0_64;
    // The tick count moves in steps of up to about 16 ms on Windows.
    EXPECT_GE(elapsed, 80u);
    EXPECT_LT(elapsed, 100u + kLongWait);
    EXPECT_GE(elapsed_64, 80u);
    EXPECT_LT(elapsed_64, 100u + kLongWait);
    EXPECT_LE(static_cast<DWORD>(GetTickCount64()) - GetTickCount(), 100u)
        << "GetTickCount is the low half of GetTickCount64";
}

TEST(Clock, SystemTimeIsUtcSince1601) {
    const LONGLONG now = filetime_now();
    const LONGLONG unix_seconds = (now - 116444736000000000LL) / 10000000;
    const LONGLONG expected = static_cast<LONGLONG>(std::time(nullptr));
    EXPECT_LE(unix_seconds - expected, 5);
    EXPECT_GE(unix_seconds - expected, -5);

    let_time_pass(50);
    EXPECT_GE(filetime_now() - now, 40 * kMs100ns);
}

#if WINPLAT_NATIVE

TEST(ClockNative, TickCountWrapsAt32Bits) {
    winplat_test_set_tick_count(0xFFFFFFFFu - 30);
    const DWORD before = GetTickCount();
    EXPECT_GE(before, 0xFFFFFFFFu - 30);
    let_time_pass(100);
    const DWORD after = GetTickCount();
    EXPECT_LT(after, 0x7FFFFFFFu) << "wrapped through zero";
    EXPECT_GE(static_cast<DWORD>(after - before), 90u) << "unsigned difference still measures";
    // Back to the low half of the 64-bit count for the other tests.
    winplat_test_set_tick_count(static_cast<DWORD>(GetTickCount64()));
    EXPECT_LE(static_cast<DWORD>(GetTickCount64()) - GetTickCount(), 100u);
}

TEST(ClockNative, WallClockOffsetMovesSystemTime) {
    const LONGLONG hour = 3600LL * 10000000;
    for (LONGLONG offset : {hour, -hour}) {
        const LONGLONG before = filetime_now();
        winplat_test_set_wall_clock_offset(offset);
        const LONGLONG moved = filetime_now();
        winplat_test_set_wall_clock_offset(0);
        EXPECT_NEAR(static_cast<double>(moved - before), static_cast<double>(offset),
                    5.0 * 10000000);
    }
}

#endif
