// Forced failures of the engine, one at a time: what StartTimer answers,
// what the queue, both maps, the record and the five counters hold
// afterwards, and that the service still runs timers to their notification
// once the failure has passed.
#include "absolute_test_support.h"

#include "core/testing.h"

namespace abstest {
namespace {

constexpr DWORD kRelative = TIMERTYPE_RELATIVE;
constexpr DWORD kAbsolute = TIMERTYPE_ABSOLUTE;

// What the manager holds once the failing start has returned (and, for a
// failure on the absolute side's threads, once that side has reported it).
struct Held {
    bool queue;            // the relative queue exists
    bool map;              // the absolute map exists
    bool schedulerThread;  // the scheduler thread runs
    bool absoluteThread;   // the absolute-timer thread runs
    int absEntries;        // entries of the absolute map
    int registered;        // entries of the thread map
};

struct FaultCase {
    const char* what;
    unsigned faults;          // the engine's faults
    unsigned absoluteFaults;  // the absolute side's faults
    bool atConstruction;      // the fault hits the manager's construction
    DWORD type;               // the timer type of the failing start
    HRESULT result;           // what that start answers
    bool awaits;              // the failure happens after the start returned...
    AbsoluteEvent report;     // ...and the absolute side reports it so
    Held held;
    bool sameManagerRecovers;  // or only a new manager runs timers again
};

const FaultCase kCases[] = {
    // Allocations.
    {"relative queue",
     horolog::kFaultTimerList,
     0,
     false,
     kRelative,
     E_OUTOFMEMORY,
     false,
     {},
     {false, false, false, false, 0, 0},
     true},
    {"absolute map",
     horolog::kFaultAbsTimerMap,
     0,
     false,
     kAbsolute,
     E_OUTOFMEMORY,
     false,
     {},
     {true, false, false, false, 0, 0},
     true},
    {"queue node",
     horolog::kFaultQueueNode,
     0,
     false,
     kRelative,
     E_OUTOFMEMORY,
     false,
     {},
     {true, true, true, false, 0, 0},
     true},
    {"absolute-map entry",
     horolog::kFaultAbsMapEntry,
     0,
     false,
     kAbsolute,
     E_OUTOFMEMORY,
     false,
     {},
     {true, true, true, true, 0, 0},
     true},
    // The start has been accepted; the record stays in the absolute map,
    // never armed, until it is stopped.
    {"thread-map entry",
     0,
     horolog::kFaultThreadMapEntry,
     false,
     kAbsolute,
     S_OK,
     true,
     AbsoluteEvent::kStartIgnored,
     {true, true, true, true, 1, 0},
     true},
    // A manager without its events never starts a scheduler.
    {"scheduler event",
     horolog::kFaultTimerEvent,
     0,
     true,
     kRelative,
     E_OUTOFMEMORY,
     false,
     {},
     {true, true, false, false, 0, 0},
     false},
    {"callback-ended event",
     horolog::kFaultCallbackEvent,
     0,
     true,
     kAbsolute,
     E_OUTOFMEMORY,
     false,
     {},
     {true, true, false, false, 0, 0},
     false},
    // Threads.
    {"scheduler thread",
     horolog::kFaultSchedulerThread,
     0,
     false,
     kRelative,
     E_OUTOFMEMORY,
     false,
     {},
     {true, true, false, false, 0, 0},
     true},
    {"absolute-timer thread",
     horolog::kFaultAbsoluteThread,
     0,
     false,
     kAbsolute,
     E_OUTOFMEMORY,
     false,
     {},
     {true, true, true, false, 0, 0},
     true},
    {"pump thread",
     0,
     horolog::kFaultPumpThread,
     false,
     kAbsolute,
     E_OUTOFMEMORY,
     false,
     {},
     {true, true, true, false, 0, 0},
     true},
    // Messages.
    {"attach post",
     horolog::kFaultAttachPost,
     0,
     false,
     kAbsolute,
     E_OUTOFMEMORY,
     false,
     {},
     {true, true, true, false, 0, 0},
     true},
    {"start post",
     horolog::kFaultStartPost,
     0,
     false,
     kAbsolute,
     E_TIMERFAILURE,
     false,
     {},
     {true, true, true, true, 0, 0},
     true},
    {"forward to the pump",
     0,
     horolog::kFaultForwardPost,
     false,
     kAbsolute,
     S_OK,
     true,
     AbsoluteEvent::kForwardRefused,
     {true, true, true, true, 1, 1},
     true},
    // Waitable timers: registered, holding no handle, never expiring.
    {"waitable-timer creation",
     0,
     horolog::kFaultCreateWaitableTimer,
     false,
     kAbsolute,
     S_OK,
     true,
     AbsoluteEvent::kArmFailed,
     {true, true, true, true, 1, 1},
     true},
    {"waitable-timer setting",
     0,
     horolog::kFaultSetWaitableTimer,
     false,
     kAbsolute,
     S_OK,
     true,
     AbsoluteEvent::kArmFailed,
     {true, true, true, true, 1, 1},
     true},
};

class FaultTest : public AbsoluteTest {
  protected:
    void TearDown() override {
        horolog::testing::SetFaults(0);
        horolog::testing::SetAbsoluteFaults(0);
        AbsoluteTest::TearDown();
    }

    void NewManager() {
        if (m) {
            EXPECT_EQ(ReleaseManager(), 0u);
        }
        EXPECT_TRUE(Eventually(AllCountersZero));
        m = new CHorolog(nullptr);
        m->AddRef();
    }

    void ExpectHeld(const Held& held, TIMERPARAMETERS* record) {
        EXPECT_EQ(m->m_pTimerList != nullptr, held.queue);
        EXPECT_EQ(m->m_pAbsTimerMap != nullptr, held.map);
        EXPECT_EQ(m->m_pTimerThread != nullptr, held.schedulerThread);
        EXPECT_EQ(m->m_pAbsTimersThread != nullptr, held.absoluteThread);
        EXPECT_EQ(g_pAbsoluteTimers.load(), AbsThread());
        EXPECT_TRUE(QueueOf(m).empty());
        Locked(m, [&] {
            EXPECT_EQ(m->m_pAbsTimerMap ? m->m_pAbsTimerMap->GetCount() : 0, held.absEntries);
            EXPECT_EQ(m->m_mapAbsTimerThreads.GetCount(), held.registered);
            EXPECT_EQ(record->hWaitableTimer, nullptr);
            return 0;
        });
        EXPECT_EQ(CHorolog::m_uiObjectCount.load(), 1u);
        EXPECT_EQ(CHorolog::m_uiRefCount.load(), 1u);
        EXPECT_EQ(CHorolog::m_uiTimersCount.load(), 0u);
        EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), static_cast<UINT>(held.absEntries));
        EXPECT_EQ(CHorolog::m_uiThreadCount.load(), static_cast<UINT>(held.registered));
        if (record->dwTimerType == kAbsolute) {
            EXPECT_FALSE(NameExists(TimerName(record->dwTimerId)));
        }
    }

    // A relative and an absolute timer, both due at once, reach their sites;
    // afterwards the manager holds nothing.
    void ExpectServiceRuns(DWORD idBase) {
        RecordingSite* relativeSite = NewSite();
        RecordingSite* absoluteSite = NewSite();
        m_relative.push_back(std::make_unique<Timer>(idBase, relativeSite, 10));
        Timer* absolute = NewTimer(idBase + 1, absoluteSite, FromNow(-kTicksPerMs));
        ASSERT_EQ(m->StartTimer(m_relative.back()->get()), S_OK);
        ASSERT_EQ(m->StartTimer(absolute->get()), S_OK);
        EXPECT_TRUE(relativeSite->WaitForCalls(1));
        EXPECT_TRUE(absoluteSite->WaitForCalls(1));
        EXPECT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kNotified, absolute->get()));
        EXPECT_TRUE(Eventually([] {
            return CHorolog::m_uiTimersCount.load() == 0 &&
                   CHorolog::m_uiAbsTimersCount.load() == 0 &&
                   CHorolog::m_uiThreadCount.load() == 0;
        }));
        ExpectEnded(absolute->get());
        EXPECT_TRUE(QueueOf(m).empty());
    }

    // Relative records outlive the manager, as the fixture's absolute ones do.
    std::vector<std::unique_ptr<Timer>> m_relative;
};

TEST_F(FaultTest, EachFailureAnswersLeavesConsistentStateAndPasses) {
    DWORD id = kIdBase + 600;
    for (const FaultCase& c : kCases) {
        SCOPED_TRACE(c.what);
        AbsoluteProbe::Get().Install();
        horolog::testing::SetFaults(c.faults);
        horolog::testing::SetAbsoluteFaults(c.absoluteFaults);
        if (c.atConstruction) NewManager();

        RecordingSite* site = NewSite();
        Timer* record = NewTimer(id, site, FromNow(-kTicksPerMs));
        record->params.dwTimerType = c.type;
        record->params.lRemaining = 100000;
        EXPECT_EQ(m->StartTimer(record->get()), c.result);
        if (c.awaits) {
            EXPECT_TRUE(AbsoluteProbe::Get().WaitFor(c.report, record->get()));
        }
        ExpectHeld(c.held, record->get());

        horolog::testing::SetFaults(0);
        horolog::testing::SetAbsoluteFaults(0);
        EXPECT_EQ(m->StopTimer(id), S_OK);
        Held stopped = c.held;
        stopped.absEntries = stopped.registered = 0;
        ExpectHeld(stopped, record->get());
        EXPECT_EQ(site->CallCount(), 0u);

        if (!c.sameManagerRecovers) NewManager();
        ExpectServiceRuns(id + 1);
        if (HasFatalFailure()) return;
        NewManager();
        id += 3;
    }
}

// A refused due message is made up by the waitable timer's next signal, one
// period later: the timer is still notified, once.
TEST_F(FaultTest, RefusedDueMessageIsMadeUpByTheNextSignal) {
    RecordingSite* site = NewSite();
    Timer* t = NewTimer(kIdBase + 690, site, FromNow(-kTicksPerMs));
    horolog::testing::SetAbsoluteFaults(horolog::kFaultDuePost);
    ASSERT_EQ(m->StartTimer(t->get()), S_OK);
    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kNotified, t->get()));
    EXPECT_EQ(site->CallCount(), 1u);

    Clock::time_point refused{}, signalled{};
    size_t nRefused = 0;
    for (const auto& r : AbsoluteProbe::Get().About(t->get())) {
        if (r.event == AbsoluteEvent::kDuePostRefused && nRefused++ == 0) refused = r.when;
        if (r.event == AbsoluteEvent::kSignalled && signalled == Clock::time_point{})
            signalled = r.when;
    }
    EXPECT_EQ(nRefused, 1u);  // the fault hits once
    ASSERT_NE(signalled, Clock::time_point{});
    EXPECT_GE(signalled - refused, milliseconds(900));  // the timer's one-second period
    ExpectEnded(t->get());
}

// A repeating timer whose node cannot be allocated again after its call
// ends there: nothing keeps pointing at it, and it can be started again.
TEST_F(FaultTest, RepeatingTimerThatCannotBeQueuedAgainEnds) {
    SchedulerProbe::Get().Install();
    RecordingSite* site = NewSite();
    site->SetAction([](DWORD) { horolog::testing::SetFaults(horolog::kFaultQueueNode); });
    m_relative.push_back(std::make_unique<Timer>(kIdBase + 697, site, 5, TRUE, 5));
    TIMERPARAMETERS* t = m_relative.back()->get();
    ASSERT_EQ(m->StartTimer(t), S_OK);
    ASSERT_TRUE(site->WaitForCalls(1));
    // Taken out after its call, and not queued again.
    ASSERT_TRUE(SchedulerProbe::Get().WaitUntil([&] { return QueueOf(m).empty(); }));
    EXPECT_EQ(CHorolog::m_uiTimersCount.load(), 0u);
    horolog::testing::SetFaults(0);
    site->SetAction(nullptr);
    EXPECT_EQ(site->CallCount(), 1u);

    ASSERT_EQ(m->StartTimer(t), S_OK);
    EXPECT_TRUE(site->WaitForCalls(3));
    EXPECT_EQ(m->StopTimer(kIdBase + 697), S_OK);
}

// An entry is needed only for a new id: under the fault a start of another
// id fails without touching the armed timer, and a start that replaces the
// armed timer with its id still succeeds.
TEST_F(FaultTest, AbsoluteMapEntryFailureHitsOnlyNewIds) {
    RecordingSite* site = NewSite();
    Timer* armed = NewTimer(kIdBase + 695, site, FromNow(60 * kTicksPerMinute));
    ASSERT_EQ(m->StartTimer(armed->get()), S_OK);
    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kArmed, armed->get()));

    horolog::testing::SetFaults(horolog::kFaultAbsMapEntry);
    Timer* other = NewTimer(kIdBase + 696, site, FromNow(-kTicksPerMs));
    EXPECT_EQ(m->StartTimer(other->get()), E_OUTOFMEMORY);
    EXPECT_TRUE(IsRegistered(armed->get()));
    EXPECT_NE(HandleOf(armed->get()), nullptr);
    EXPECT_TRUE(NameExists(TimerName(kIdBase + 695)));
    ExpectCountersMatchMaps();

    Timer* replacement = NewTimer(kIdBase + 695, site, FromNow(-kTicksPerMs));
    EXPECT_EQ(m->StartTimer(replacement->get()), S_OK);
    horolog::testing::SetFaults(0);
    ASSERT_TRUE(AbsoluteProbe::Get().WaitFor(AbsoluteEvent::kNotified, replacement->get()));
    EXPECT_EQ(site->Ids(), std::vector<DWORD>{kIdBase + 695});
    ExpectEnded(armed->get());
    ExpectEnded(replacement->get());
    ExpectEnded(other->get());
}

}  // namespace
}  // namespace abstest
