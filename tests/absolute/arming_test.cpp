// Arming: the waitable timer's name, and what happens when the name is
// already taken.
#include "absolute_test_support.h"

namespace abstest {
namespace {

class ArmingTest : public AbsoluteTest {};

TEST_F(ArmingTest, TimerIsNamedAfterItsIdPrintedAsASignedNumber) {
    struct Case {
        DWORD id;
        const char* name;
    };
    const Case cases[] = {
        {0x3A7B0301u, "Timer981140225"},
        {0x80000000u, "Timer-2147483648"},
        {0xFFFFFFFFu, "Timer-1"},
    };
    for (const Case& c : cases) {
        ASSERT_FALSE(NameExists(c.name)) << c.name << " is taken by another program";
        Timer* t = NewTimer(c.id, nullptr, FromNow(60 * kTicksPerMinute));
        ASSERT_EQ(m->StartTimer(t->get()), S_OK) << c.name;
        ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kArmed, t->get())) << c.name;
        EXPECT_TRUE(NameExists(c.name)) << c.name;
        ASSERT_EQ(m->StopTimer(c.id), S_OK);
        EXPECT_FALSE(NameExists(c.name)) << c.name;
    }
}

// An object of another kind holds the name: the timer cannot be created, so
// it stays registered and never expires, until it is stopped.
TEST_F(ArmingTest, NameHeldByAnotherKindOfObjectLeavesTheTimerUnarmed) {
    RecordingSite* site = NewSite();
    const DWORD id = kIdBase + 310;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, TimerName(id).c_str());
    ASSERT_NE(event, nullptr);

    Timer* t = NewTimer(id, site, FromNow(-kTicksPerMs));
    ASSERT_EQ(m->StartTimer(t->get()), S_OK);
    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kArmFailed, t->get()));
    EXPECT_TRUE(IsRegistered(t->get()));
    EXPECT_EQ(HandleOf(t->get()), nullptr);
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 1u);
    EXPECT_EQ(CHorolog::m_uiThreadCount.load(), 1u);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    ASSERT_EQ(m->StopTimer(id), S_OK);
    EXPECT_EQ(t->params.hWaitableTimer, nullptr);
    EXPECT_FALSE(IsRegistered(t->get()));
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 0u);
    EXPECT_EQ(CHorolog::m_uiThreadCount.load(), 0u);
    EXPECT_EQ(site->CallCount(), 0u);
    CloseHandle(event);
}

// A timer that cannot be set is closed at once: it stays registered and
// never expires, until it is stopped, but holds no handle.
TEST_F(ArmingTest, TimerThatCannotBeSetIsClosed) {
    RecordingSite* site = NewSite();
    const DWORD id = kIdBase + 315;
    horolog::testing::SetAbsoluteFaults(horolog::kFaultSetWaitableTimer);
    Timer* t = NewTimer(id, site, FromNow(-kTicksPerMs));
    ASSERT_EQ(m->StartTimer(t->get()), S_OK);
    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kArmFailed, t->get()));
    horolog::testing::SetAbsoluteFaults(0);
    EXPECT_EQ(HandleOf(t->get()), nullptr);
    EXPECT_FALSE(NameExists(TimerName(id)));
    EXPECT_TRUE(IsRegistered(t->get()));
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 1u);
    EXPECT_EQ(CHorolog::m_uiThreadCount.load(), 1u);

    ASSERT_EQ(m->StopTimer(id), S_OK);
    EXPECT_FALSE(IsRegistered(t->get()));
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 0u);
    EXPECT_EQ(CHorolog::m_uiThreadCount.load(), 0u);
    EXPECT_EQ(site->CallCount(), 0u);
}

// A due time beyond the largest positive 64-bit value is no date at all; it
// must not be taken for a relative one (which would signal at once and then
// be judged early once a second for ever): the timer stays armed and quiet
// until it is stopped.
TEST_F(ArmingTest, DueTimeBeyondEveryDateNeverSignals) {
    RecordingSite* site = NewSite();
    const DWORD id = kIdBase + 317;
    Timer* t = NewTimer(id, site, ToFileTime(~0ull));
    ASSERT_EQ(m->StartTimer(t->get()), S_OK);
    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kArmed, t->get()));
    EXPECT_FALSE(
        AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kSignalled, t->get(), 1, milliseconds(1500)));
    EXPECT_TRUE(IsRegistered(t->get()));
    ASSERT_EQ(m->StopTimer(id), S_OK);
    ExpectEnded(t->get());
    EXPECT_EQ(site->CallCount(), 0u);
}

// Another timer (another program's, say) holds the name: arming it would
// take that timer over, so the timer is armed without a name and the other
// one is left as it was.
TEST_F(ArmingTest, NameHeldByAnotherTimerArmsAnUnnamedTimer) {
    RecordingSite* site = NewSite();
    const DWORD id = kIdBase + 320;
    HANDLE other = CreateWaitableTimerA(nullptr, TRUE, TimerName(id).c_str());
    ASSERT_NE(other, nullptr);

    Timer* t = NewTimer(id, site, FromNow(-kTicksPerMs));
    ASSERT_EQ(m->StartTimer(t->get()), S_OK);
    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kArmedUnnamed, t->get()));
    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kNotified, t->get()));
    EXPECT_EQ(site->CallCount(), 1u);
    // The other timer was never set, so it never signalled.
    EXPECT_EQ(WaitForSingleObject(other, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(t->params.hWaitableTimer, nullptr);
    EXPECT_FALSE(IsRegistered(t->get()));
    CloseHandle(other);
    EXPECT_FALSE(NameExists(TimerName(id)));
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 0u);
}

// Two managers with timers of the same id (as two programs would have):
// each keeps its own timer and notifies on its own thread.
TEST_F(ArmingTest, SameIdInTwoManagersKeepsTwoTimers) {
    CHorolog* other = new CHorolog(nullptr);
    other->AddRef();
    RecordingSite* firstSite = NewSite();
    RecordingSite* secondSite = NewSite();
    const DWORD id = kIdBase + 330;
    // The first holds the name for as long as the second is armed: it is
    // due only in an hour, until it is started again, due at once, below.
    Timer* first = NewTimer(id, firstSite, FromNow(60 * kTicksPerMinute));
    Timer* second = NewTimer(id, secondSite, FromNow(300 * kTicksPerMs));
    EXPECT_EQ(m->StartTimer(first->get()), S_OK);
    EXPECT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kArmed, first->get()));
    EXPECT_EQ(other->StartTimer(second->get()), S_OK);
    EXPECT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kArmedUnnamed, second->get()));
    EXPECT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kNotified, second->get()));
    EXPECT_EQ(firstSite->CallCount(), 0u);
    EXPECT_TRUE(IsRegistered(first->get()));

    first->params.ftDueTime = FromNow(-1000 * kTicksPerMs);
    EXPECT_EQ(m->StartTimer(first->get()), S_OK);
    EXPECT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kNotified, first->get()));
    ASSERT_EQ(firstSite->CallCount(), 1u);
    ASSERT_EQ(secondSite->CallCount(), 1u);
    EXPECT_EQ(firstSite->Calls()[0].thread, m->m_pAbsTimersThread->m_nThreadID);
    EXPECT_EQ(secondSite->Calls()[0].thread, other->m_pAbsTimersThread->m_nThreadID);
    EXPECT_EQ(other->Release(), 0u);
    ExpectEnded(first->get());
    EXPECT_EQ(second->params.hWaitableTimer, nullptr);
}

}  // namespace
}  // namespace abstest
