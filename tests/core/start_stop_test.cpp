// StartTimer and StopTimer: the checks, their failures and what each failure
// leaves behind, the two paths, and concurrent first starts.
#include "support/engine_test_support.h"

#include "core/messages.h"

#include <cstring>
#include <memory>

// A thread that ends in its start-up, before it takes any message.
class CNeverStartingThread : public CWinThread {
    DECLARE_DYNCREATE(CNeverStartingThread)
  public:
    BOOL InitInstance() override { return FALSE; }
};
IMPLEMENT_DYNCREATE(CNeverStartingThread, CWinThread)

namespace {

using namespace enginetest;

using StartTimerTest = ManagerTest;

bool SameBytes(const TIMERPARAMETERS& a, const TIMERPARAMETERS& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST_F(StartTimerTest, NullRecordIsRefusedAndNothingIsCreated) {
    EXPECT_EQ(m->StartTimer(nullptr), E_POINTER);
    EXPECT_EQ(m->m_pTimerList, nullptr);
    EXPECT_EQ(m->m_pTimerThread, nullptr);
}

unsigned char g_writableContext[TIMER_CONTEXT_SIZE];
const unsigned char g_readOnlyContext[TIMER_CONTEXT_SIZE] = {1};
const TIMERPARAMETERS g_readOnlyRecord = {7, g_writableContext, nullptr, 0, {0, 0}, 0, 0,
                                          0, nullptr,           0,       0};

TEST_F(StartTimerTest, RecordOrContextOutsideWritableMemoryIsRefusedFirst) {
    struct Case {
        const char* what;
        TIMERPARAMETERS* record;
    };
    Timer nullContext(7);
    nullContext.params.pContext = nullptr;
    Timer readOnlyContext(7);
    readOnlyContext.params.pContext = const_cast<unsigned char*>(g_readOnlyContext);
    Timer zeroIdNullContext(0);  // refused for its memory before its id is looked at
    zeroIdNullContext.params.pContext = nullptr;
    const Case cases[] = {
        {"read-only record", const_cast<TIMERPARAMETERS*>(&g_readOnlyRecord)},
        {"null context", nullContext.get()},
        {"read-only context", readOnlyContext.get()},
        {"zero id, null context", zeroIdNullContext.get()},
    };
    for (const Case& c : cases) {
        TIMERPARAMETERS before = *c.record;
        EXPECT_EQ(m->StartTimer(c.record), E_POINTER) << c.what;
        EXPECT_TRUE(SameBytes(before, *c.record)) << c.what;
        EXPECT_EQ(m->m_pTimerList, nullptr) << c.what;
        EXPECT_EQ(m->m_pTimerThread, nullptr) << c.what;
    }
}

TEST_F(StartTimerTest, CollectionAllocationFailures) {
    Timer t(7);
    horolog::testing::SetFaults(horolog::kFaultTimerList);
    EXPECT_EQ(m->StartTimer(t.get()), E_OUTOFMEMORY);
    EXPECT_EQ(m->m_pTimerList, nullptr);
    EXPECT_EQ(m->m_pAbsTimerMap, nullptr);

    horolog::testing::SetFaults(horolog::kFaultAbsTimerMap);
    EXPECT_EQ(m->StartTimer(t.get()), E_OUTOFMEMORY);
    EXPECT_NE(m->m_pTimerList, nullptr);  // kept once made
    EXPECT_EQ(m->m_pAbsTimerMap, nullptr);
    EXPECT_EQ(m->m_pTimerThread, nullptr);
}

TEST_F(StartTimerTest, ZeroIdIsRefusedAfterTheCollectionsButBeforeAnyThread) {
    Timer t(0, nullptr, 10, FALSE, 0, TIMERTYPE_ABSOLUTE);
    t.params.wReserved = 0xBEEF;
    TIMERPARAMETERS before = t.params;
    EXPECT_EQ(m->StartTimer(t.get()), E_TIMERIDINVALID);
    EXPECT_TRUE(SameBytes(before, t.params));
    EXPECT_NE(m->m_pTimerList, nullptr);
    EXPECT_NE(m->m_pAbsTimerMap, nullptr);
    EXPECT_EQ(m->m_pTimerThread, nullptr);
    EXPECT_EQ(m->m_pAbsTimersThread, nullptr);
}

TEST_F(StartTimerTest, ThreadStartFailures) {
    Timer t(7, nullptr, 100000, FALSE, 0, TIMERTYPE_ABSOLUTE);
    t.params.wReserved = 0xBEEF;
    horolog::testing::SetFaults(horolog::kFaultSchedulerThread);
    EXPECT_EQ(m->StartTimer(t.get()), E_OUTOFMEMORY);
    EXPECT_EQ(t.params.wReserved, 0);
    EXPECT_EQ(m->m_pTimerThread, nullptr);
    EXPECT_EQ(m->m_pAbsTimersThread, nullptr);

    horolog::testing::SetFaults(horolog::kFaultAbsoluteThread);
    EXPECT_EQ(m->StartTimer(t.get()), E_OUTOFMEMORY);
    EXPECT_NE(m->m_pTimerThread, nullptr);
    EXPECT_EQ(m->m_pAbsTimersThread, nullptr);
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 0u);

    horolog::testing::SetFaults(0);
    EXPECT_EQ(m->StartTimer(t.get()), S_OK);  // a later start gets the thread
    EXPECT_NE(m->m_pAbsTimersThread, nullptr);
    EXPECT_EQ(m->StopTimer(7), S_OK);
}

TEST_F(StartTimerTest, IdAlreadyQueuedIsRefusedAfterTheThreadsStarted) {
    RecordingSite site;
    Timer queued(42, &site, 100000);
    ASSERT_EQ(m->StartTimer(queued.get()), S_OK);

    struct Case {
        const char* what;
        Timer* record;
        bool startsAbsoluteThread;
    };
    Timer otherRelative(42, &site, 5);
    Timer absolute(42, &site, 0, FALSE, 0, TIMERTYPE_ABSOLUTE);
    const Case cases[] = {
        {"the queued record again", &queued, false},
        {"another relative record", &otherRelative, false},
        {"an absolute record", &absolute, true},
    };
    for (const Case& c : cases) {
        c.record->params.wReserved = 0xBEEF;
        EXPECT_EQ(m->StartTimer(c.record->get()), E_TIMERIDINVALID) << c.what;
        EXPECT_EQ(c.record->params.wReserved, 0) << c.what;
        EXPECT_EQ(QueueOf(m), std::vector<TIMERPARAMETERS*>{queued.get()}) << c.what;
        EXPECT_EQ(m->m_pAbsTimersThread != nullptr, c.startsAbsoluteThread) << c.what;
    }
    EXPECT_EQ(CHorolog::m_uiTimersCount.load(), 1u);
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 0u);
    EXPECT_EQ(m->StopTimer(42), S_OK);
    EXPECT_EQ(site.CallCount(), 0u);
}

TEST_F(StartTimerTest, RelativeStartQueuesTheRecordMarkedJustQueued) {
    FakeTicks::Install(1000);  // no time passes: nothing becomes due
    RecordingSite site;
    Timer t(9, &site, 500);
    t.params.bJustQueued = FALSE;
    ASSERT_EQ(m->StartTimer(t.get()), S_OK);
    EXPECT_NE(m->m_pTimerThread, nullptr);
    EXPECT_EQ(m->m_pAbsTimersThread, nullptr);  // relative timers need no absolute thread
    EXPECT_EQ(QueueOf(m), std::vector<TIMERPARAMETERS*>{t.get()});
    EXPECT_EQ(CHorolog::m_uiTimersCount.load(), 1u);
    EXPECT_EQ(m->StopTimer(9), S_OK);
    EXPECT_TRUE(QueueOf(m).empty());
}

TEST_F(StartTimerTest, AbsoluteStartRegistersTheRecordAndHandsItToTheAbsoluteThread) {
    Timer t(77, nullptr, 0, FALSE, 0, TIMERTYPE_ABSOLUTE);
    t.params.hWaitableTimer = reinterpret_cast<HANDLE>(0x1234);
    ASSERT_EQ(m->StartTimer(t.get()), S_OK);
    EXPECT_EQ(t.params.hWaitableTimer, nullptr);
    EXPECT_NE(m->m_pTimerThread, nullptr);  // the first absolute timer starts both threads
    EXPECT_NE(m->m_pAbsTimersThread, nullptr);
    EXPECT_TRUE(QueueOf(m).empty());
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 1u);
    TIMERPARAMETERS* registered = nullptr;
    EXPECT_TRUE(Locked(m, [&] { return m->m_pAbsTimerMap->Lookup(77, registered); }));
    EXPECT_EQ(registered, t.get());
    // The absolute-timer thread registers it with a null thread.
    ASSERT_TRUE(Eventually([] { return CHorolog::m_uiThreadCount.load() == 1; }));
    CWinThread* thread = reinterpret_cast<CWinThread*>(1);
    TIMERPARAMETERS* key = t.get();
    EXPECT_TRUE(Locked(m, [&] { return m->m_mapAbsTimerThreads.Lookup(key, thread); }));
    EXPECT_EQ(thread, nullptr);

    EXPECT_EQ(m->StopTimer(77), S_OK);
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 0u);
    EXPECT_EQ(CHorolog::m_uiThreadCount.load(), 0u);
    EXPECT_EQ(Locked(m, [&] { return m->m_mapAbsTimerThreads.GetCount(); }), 0);
}

TEST_F(StartTimerTest, AbsoluteStartWithARegisteredIdReplacesTheOlderRecord) {
    Timer older(5, nullptr, 0, FALSE, 0, TIMERTYPE_ABSOLUTE);
    Timer newer(5, nullptr, 0, FALSE, 0, TIMERTYPE_ABSOLUTE);
    ASSERT_EQ(m->StartTimer(older.get()), S_OK);
    ASSERT_TRUE(Eventually([] { return CHorolog::m_uiThreadCount.load() == 1; }));
    ASSERT_EQ(m->StartTimer(newer.get()), S_OK);
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 1u);
    TIMERPARAMETERS* registered = nullptr;
    EXPECT_TRUE(Locked(m, [&] { return m->m_pAbsTimerMap->Lookup(5, registered); }));
    EXPECT_EQ(registered, newer.get());
    // Only the newer record stays registered anywhere.
    ASSERT_TRUE(Eventually([&] {
        TIMERPARAMETERS* key = newer.get();
        CWinThread* thread;
        return Locked(m, [&] { return m->m_mapAbsTimerThreads.Lookup(key, thread); });
    }));
    EXPECT_EQ(CHorolog::m_uiThreadCount.load(), 1u);
    EXPECT_EQ(m->StopTimer(5), S_OK);
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 0u);
    EXPECT_EQ(CHorolog::m_uiThreadCount.load(), 0u);
}

TEST_F(StartTimerTest, FailedAbsolutePostLeavesNothingPointingAtTheRecord) {
    Timer first(1, nullptr, 0, FALSE, 0, TIMERTYPE_ABSOLUTE);
    ASSERT_EQ(m->StartTimer(first.get()), S_OK);
    ASSERT_EQ(m->StopTimer(1), S_OK);

    // An absolute-timer thread that has ended takes no more messages.
    CWinThread* absThread = m->m_pAbsTimersThread;
    ASSERT_NE(absThread, nullptr);
    ASSERT_TRUE(PostThreadMessageA(absThread->m_nThreadID, WM_QUIT, 0, 0));
    ASSERT_EQ(WaitForSingleObject(absThread->m_hThread, 10000), WAIT_OBJECT_0);

    Timer t(2, nullptr, 0, FALSE, 0, TIMERTYPE_ABSOLUTE);
    EXPECT_EQ(m->StartTimer(t.get()), E_TIMERFAILURE);
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 0u);
    TIMERPARAMETERS* registered = nullptr;
    EXPECT_FALSE(Locked(m, [&] { return m->m_pAbsTimerMap->Lookup(2, registered); }));
    EXPECT_EQ(m->StopTimer(2), S_OK);
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 0u);
}

TEST_F(StartTimerTest, OtherNonzeroTypesStartTheAbsoluteThreadButQueueAsRelative) {
    FakeTicks::Install(1000);
    Timer t(8, nullptr, 100000, FALSE, 0, 2);
    ASSERT_EQ(m->StartTimer(t.get()), S_OK);
    EXPECT_NE(m->m_pAbsTimersThread, nullptr);
    EXPECT_EQ(QueueOf(m), std::vector<TIMERPARAMETERS*>{t.get()});
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 0u);
    EXPECT_EQ(m->StopTimer(8), S_OK);
}

TEST_F(StartTimerTest, StopOfAnUnknownIdChangesNothing) {
    EXPECT_EQ(m->StopTimer(3), S_OK);  // before anything exists
    Timer t(4, nullptr, 100000);
    ASSERT_EQ(m->StartTimer(t.get()), S_OK);
    EXPECT_EQ(m->StopTimer(3), S_OK);
    EXPECT_EQ(QueueOf(m).size(), 1u);
    EXPECT_EQ(m->StopTimer(4), S_OK);
}

TEST_F(StartTimerTest, QueueNodeFailureFailsTheStartWithoutQueuing) {
    Timer t(4, nullptr, 100000);
    horolog::testing::SetFaults(horolog::kFaultQueueNode);
    EXPECT_EQ(m->StartTimer(t.get()), E_OUTOFMEMORY);
    horolog::testing::SetFaults(0);
    EXPECT_TRUE(QueueOf(m).empty());
    EXPECT_EQ(CHorolog::m_uiTimersCount.load(), 0u);
}

// Many clients starting their first timers at once: each thread is started
// once, and the absolute-timer thread knows its manager before any timer
// reaches it (the stand-in drops timers that arrive before the attach).
TEST_F(StartTimerTest, ConcurrentFirstStartsStartEachThreadOnce) {
    SchedulerProbe::Get().Install();
    const int kClients = 8;
    std::vector<std::unique_ptr<Timer>> timers;
    for (int i = 0; i < kClients; ++i)
        timers.push_back(std::make_unique<Timer>(100 + i, nullptr, 100000, FALSE, 0,
                                                 i % 2 ? TIMERTYPE_ABSOLUTE : TIMERTYPE_RELATIVE));
    std::atomic<int> ready{0};
    std::vector<HRESULT> results(kClients, E_FAIL);
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i)
        clients.emplace_back([&, i] {
            ++ready;
            while (ready.load() < kClients) std::this_thread::yield();
            results[i] = m->StartTimer(timers[i]->get());
        });
    for (auto& c : clients) c.join();
    for (int i = 0; i < kClients; ++i) EXPECT_EQ(results[i], S_OK) << i;

    EXPECT_EQ(CHorolog::m_uiTimersCount.load(), kClients / 2u);
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), kClients / 2u);
    EXPECT_TRUE(Eventually([] { return CHorolog::m_uiThreadCount.load() == kClients / 2u; }));
    // Let the scheduler take the starts into account, then check that every
    // report came from one thread.
    ASSERT_TRUE(SchedulerProbe::Get().WaitUntil([&] {
        return Locked(m, [&] {
            for (auto& t : timers)
                if (t->params.dwTimerType == TIMERTYPE_RELATIVE && t->params.bJustQueued)
                    return false;
            return true;
        });
    }));
    EXPECT_EQ(SchedulerProbe::Get().Threads().size(), 1u);
    for (auto& t : timers) m->StopTimer(t->params.dwTimerId);
}

TEST_F(StartTimerTest, ReleaseWithTimersStillRegisteredSettlesTheCounters) {
    FakeTicks::Install(1000);
    SchedulerProbe::Get().Install();
    Timer relative(1, nullptr, 100000);
    Timer absolute(2, nullptr, 0, FALSE, 0, TIMERTYPE_ABSOLUTE);
    ASSERT_EQ(m->StartTimer(relative.get()), S_OK);
    ASSERT_EQ(m->StartTimer(absolute.get()), S_OK);
    ASSERT_TRUE(Eventually([] { return CHorolog::m_uiThreadCount.load() == 1; }));
    ASSERT_TRUE(SchedulerProbe::Get().WaitUntil(
        [&] { return Locked(m, [&] { return !relative.params.bJustQueued; }); }));
    // The fixture's release checks that every counter is back at 0; the
    // records are the client's and stay as they were.
    TIMERPARAMETERS before = Locked(m, [&] { return relative.params; });
    EXPECT_EQ(ReleaseManager(), 0u);
    EXPECT_TRUE(SameBytes(before, relative.params));
    EXPECT_EQ(relative.params.lRemaining, 100000);
}

// ---- attaching a new thread -------------------------------------------------

TEST(PostToNewThreadTest, GivesUpWhenTheThreadEndsWithoutTakingMessages) {
    CWinThread* thread = AfxBeginThread(RUNTIME_CLASS(CNeverStartingThread), THREAD_PRIORITY_NORMAL,
                                        0, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(thread, nullptr);
    thread->m_bAutoDelete = FALSE;
    thread->ResumeThread();
    ASSERT_EQ(WaitForSingleObject(thread->m_hThread, 10000), WAIT_OBJECT_0);
    const auto start = Clock::now();
    EXPECT_FALSE(PostToNewThread(thread, WM_ATTACHMANAGER, 0, 0, 60000));
    EXPECT_LT(Clock::now() - start, milliseconds(10000));  // not the whole bound
    delete thread;
}

}  // namespace
