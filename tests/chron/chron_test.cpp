#include "chron/chron.h"

#include <gtest/gtest.h>

namespace {

FILETIME FileTimeOf(uint64_t ticks) {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ft;
}

constexpr uint64_t kSecond = 10'000'000ULL;

TEST(ChronSpan, ComponentsAddUpIn100nsUnits) {
    struct Case {
        long days;
        int hours, minutes, seconds;
        unsigned long ms;
        int64_t ticks;
    } cases[] = {
        {0, 0, 5, 0, 0, 300 * 10'000'000LL},
        {1, 0, 0, 0, 0, 86'400 * 10'000'000LL},
        {0, 1, 1, 1, 1, 3661 * 10'000'000LL + 10'000},
        {0, 0, -5, 0, 0, -300 * 10'000'000LL},
        {0, 0, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ChronSpan(c.days, c.hours, c.minutes, c.seconds, c.ms).Ticks(), c.ticks);
    }
}

TEST(Chron, FromUtcFileTimeKeepsFullPrecision) {
    uint64_t t = 133'000'000'000'000'123ULL;
    Chron a(FileTimeOf(t), Chron::kUtc, -1);
    Chron b(FileTimeOf(t + 1), Chron::kUtc, -1);
    EXPECT_EQ(a.Ticks(), t);
    EXPECT_TRUE(a < b);
    EXPECT_TRUE(a <= b);
    EXPECT_FALSE(a >= b);
    EXPECT_TRUE(a <= a);
    EXPECT_TRUE(a >= a);
    EXPECT_FALSE(a < a);
}

TEST(Chron, FiveMinuteWindowBoundsAreExact) {
    Chron now(FileTimeOf(200'000'000'000'000'000ULL), Chron::kUtc, -1);
    ChronSpan five(0, 0, 5, 0, 0);
    Chron earliest = now - five;
    Chron latest = now + five;
    Chron exactly_five_late(FileTimeOf(now.Ticks() - 300 * kSecond), Chron::kUtc, -1);
    Chron just_over(FileTimeOf(now.Ticks() - 300 * kSecond - 1), Chron::kUtc, -1);
    EXPECT_TRUE(exactly_five_late >= earliest);
    EXPECT_FALSE(just_over >= earliest);
    EXPECT_EQ(latest.Ticks() - earliest.Ticks(), 600 * kSecond);
}

TEST(Chron, ArithmeticSaturatesInsteadOfWrapping) {
    Chron empty;
    EXPECT_EQ(empty.Ticks(), 0u);
    EXPECT_EQ((empty - ChronSpan(0, 0, 5, 0, 0)).Ticks(), 0u);
    Chron last(FileTimeOf(~0ULL), Chron::kUtc, -1);
    EXPECT_EQ((last + ChronSpan(0, 0, 5, 0, 0)).Ticks(), ~0ULL);
}

TEST(Chron, NowFollowsTheSystemClock) {
    FILETIME before_ft, after_ft;
    GetSystemTimeAsFileTime(&before_ft);
    Chron now = Chron::GetTickCount();
    GetSystemTimeAsFileTime(&after_ft);
    Chron before(before_ft, Chron::kUtc, -1);
    Chron after(after_ft, Chron::kUtc, -1);
    // The coarse system time may trail the precise one by a clock tick.
    EXPECT_TRUE(before <= now + ChronSpan(0, 0, 0, 0, 50));
    EXPECT_TRUE(now <= after + ChronSpan(0, 0, 0, 1, 0));
}

TEST(Chron, CopiesCompareEqual) {
    Chron a(FileTimeOf(42), Chron::kUtc, -1);
    Chron b = a;
    Chron c;
    c = a;
    EXPECT_TRUE(b <= a && b >= a);
    EXPECT_TRUE(c <= a && c >= a);
}

}  // namespace
