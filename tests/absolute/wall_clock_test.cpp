// Absolute timers when the wall clock changes, as Windows' waitable timers
// behave: an armed timer follows the clock, so a jump forward past its due
// time signals it at once (and the expiry check then notifies it if the
// jump left it at most five minutes late, and ends it silently otherwise),
// and a jump backward makes it wait for the new wall-clock due time, never
// notifying it early. Only the native platform lets a test move the clock.
#include "absolute_test_support.h"

#if WINPLAT_NATIVE
#include "winplat/testing.h"

namespace abstest {
namespace {

class WallClockTest : public AbsoluteTest {
  protected:
    void TearDown() override {
        AbsoluteTest::TearDown();
        winplat_test_set_wall_clock_offset(0);
    }
};

TEST_F(WallClockTest, JumpForwardPastTheDueTime) {
    struct Case {
        const char* what;
        int64_t jump;  // beyond the due time
        bool notified;
    };
    const Case cases[] = {
        {"one minute past the due time", 1 * kTicksPerMinute, true},
        {"ten minutes past the due time", 10 * kTicksPerMinute, false},
    };
    DWORD id = kIdBase + 300;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        winplat_test_set_wall_clock_offset(0);
        RecordingSite* site = NewSite();
        std::atomic<uint64_t> seenAt{0};
        site->SetAction([&](DWORD) { seenAt = NowTicks(); });
        // Due in an hour: nothing signals unless the clock moves.
        const int64_t hour = 60 * kTicksPerMinute;
        Timer* t = NewTimer(++id, site, FromNow(hour));
        const uint64_t due = Ticks(t->params.ftDueTime);
        ASSERT_EQ(m->StartTimer(t->get()), S_OK);
        ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kArmed, t->get()));

        winplat_test_set_wall_clock_offset(hour + c.jump);
        const AbsoluteEvent end =
            c.notified ? AbsoluteEvent::kNotified : AbsoluteEvent::kEndedSilently;
        ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(end, t->get()));
        EXPECT_EQ(site->CallCount(), c.notified ? 1u : 0u);
        if (c.notified) {
            EXPECT_GE(seenAt.load(), due);
        }
        ExpectEnded(t->get());
        EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 0u);
        EXPECT_EQ(CHorolog::m_uiThreadCount.load(), 0u);
    }
}

TEST_F(WallClockTest, JumpBackwardDelaysTheTimerToTheNewWallClockDueTime) {
    RecordingSite* site = NewSite();
    std::atomic<uint64_t> seenAt{0};
    site->SetAction([&](DWORD) { seenAt = NowTicks(); });
    const int64_t lead = 500 * kTicksPerMs;
    const int64_t back = 1000 * kTicksPerMs;
    Timer* t = NewTimer(kIdBase + 310, site, FromNow(lead));
    const uint64_t due = Ticks(t->params.ftDueTime);
    const auto start = Clock::now();
    ASSERT_EQ(m->StartTimer(t->get()), S_OK);
    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kArmed, t->get()));

    // The clock goes back a second: the due time is now 1.5 s of real time
    // after the start, not 0.5 s.
    winplat_test_set_wall_clock_offset(-back);
    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kNotified, t->get()));
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(site->CallCount(), 1u);
    EXPECT_GE(seenAt.load(), due) << "notified before the wall clock reached its due time";
    EXPECT_GE(elapsed, milliseconds(1500) - milliseconds(20));
    EXPECT_EQ(AbsoluteProbe::Get().Count(AbsoluteEvent::kEarly, t->get()), 0u)
        << "the waitable timer itself followed the clock";
    ExpectEnded(t->get());
}

}  // namespace
}  // namespace abstest
#endif  // WINPLAT_NATIVE
