// Framework threads: starting, message loops, cooperative suspension and
// ending.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "framework_test_util.h"

using afxtest::Flag;
using afxtest::Journal;
using afxtest::kLong;
using afxtest::kLongMs;

namespace {

constexpr UINT kRecord = WM_USER + 10;       // journal the lParam
constexpr UINT kRecordBase = WM_USER + 11;   // handled only by the base map
constexpr UINT kSuspendSelf = WM_USER + 12;  // the thread suspends itself
constexpr UINT kWork = WM_USER + 13;         // short work under the test lock
constexpr UINT kUnmapped = WM_USER + 14;

struct Entry {
    std::string what;
    LPARAM value;
};

// What a test thread reports. Owned by the test, outlives the thread.
struct Probe {
    Journal<Entry> journal;
    Flag exited;
    Flag destroyed;
    std::atomic<int> initCalls{0};
    std::atomic<int> exitCalls{0};
    BOOL initResult = TRUE;
    int exitCode = 0;
    // kWork: the handler holds this lock while it works.
    CCriticalSection* workLock = nullptr;
    std::atomic<bool> inHandler{false};
};

}  // namespace

class CProbeThreadBase : public CWinThread {
    DECLARE_DYNCREATE(CProbeThreadBase)
  public:
    Probe* probe = nullptr;

  protected:
    CProbeThreadBase() = default;
    void OnRecordBase(WPARAM, LPARAM l) { probe->journal.Add({"base", l}); }
    DECLARE_MESSAGE_MAP()
};
IMPLEMENT_DYNCREATE(CProbeThreadBase, CWinThread)
BEGIN_MESSAGE_MAP(CProbeThreadBase, CWinThread)
ON_THREAD_MESSAGE(kRecordBase, OnRecordBase)
END_MESSAGE_MAP()

class CProbeThread : public CProbeThreadBase {
    DECLARE_DYNCREATE(CProbeThread)
  public:
    ~CProbeThread() override {
        if (probe) probe->destroyed.Set();
    }
    BOOL InitInstance() override {
        ++probe->initCalls;
        probe->journal.Add({AfxGetThread() == this ? "init:current" : "init:NOT current", 0});
        return probe->initResult;
    }
    int ExitInstance() override {
        ++probe->exitCalls;
        const int code = CProbeThreadBase::ExitInstance();
        probe->exitCode = code;
        probe->exited.Set();
        return code;
    }

  protected:
    CProbeThread() = default;
    void OnRecord(WPARAM, LPARAM l) { probe->journal.Add({"record", l}); }
    void OnSuspendSelf(WPARAM, LPARAM) {
        const DWORD previous = SuspendThread();  // returns at once
        probe->journal.Add({"suspended-self", static_cast<LPARAM>(previous)});
    }
    void OnWork(WPARAM, LPARAM) {
        CSingleLock lock(probe->workLock, TRUE);
        probe->inHandler = true;
        for (volatile int i = 0; i < 2000; ++i) {
        }
        probe->inHandler = false;
    }
    DECLARE_MESSAGE_MAP()
};
IMPLEMENT_DYNCREATE(CProbeThread, CProbeThreadBase)
BEGIN_MESSAGE_MAP(CProbeThread, CProbeThreadBase)
ON_THREAD_MESSAGE(kRecord, OnRecord)
ON_THREAD_MESSAGE(kSuspendSelf, OnSuspendSelf)
ON_THREAD_MESSAGE(kWork, OnWork)
END_MESSAGE_MAP()

class CNotAThread : public CCmdTarget {
    DECLARE_DYNCREATE(CNotAThread)
};
IMPLEMENT_DYNCREATE(CNotAThread, CCmdTarget)

namespace {

// Starts a CProbeThread that the test owns (m_bAutoDelete FALSE), set up
// before it runs.
CProbeThread* StartProbeThread(Probe& probe, bool leaveSuspended = false) {
    CWinThread* p =
        AfxBeginThread(RUNTIME_CLASS(CProbeThread), THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    if (p == nullptr) return nullptr;
    auto* thread = static_cast<CProbeThread*>(p);
    thread->probe = &probe;
    thread->m_bAutoDelete = FALSE;
    if (!leaveSuspended) thread->ResumeThread();
    return thread;
}

// Ends a probe thread and deletes it.
void EndProbeThread(CWinThread* thread) {
    thread->RequestEnd();
    EXPECT_TRUE(thread->WaitForEnd(kLongMs));
    delete thread;
}

std::vector<LPARAM> Values(const std::vector<Entry>& entries, const std::string& what) {
    std::vector<LPARAM> v;
    for (const Entry& e : entries)
        if (e.what == what) v.push_back(e.value);
    return v;
}

}  // namespace

TEST(MessageLoopThread, DispatchesPostedMessagesInOrderToTheirHandlers) {
    Probe probe;
    CProbeThread* thread = StartProbeThread(probe);
    ASSERT_NE(thread, nullptr);
    ASSERT_NE(thread->m_hThread, nullptr);
    ASSERT_NE(thread->m_nThreadID, 0u);

    constexpr int kCount = 200;
    for (int i = 0; i < kCount; ++i) {
        UINT message = (i % 3 == 0) ? kRecordBase : kRecord;
        ASSERT_TRUE(thread->PostThreadMessage(message, 0, i));
        if (i == kCount / 2) {
            ASSERT_TRUE(thread->PostThreadMessage(kUnmapped, 0, 0));
        }
    }
    ASSERT_TRUE(probe.journal.WaitForSize(1 + kCount));

    const std::vector<Entry> entries = probe.journal.Snapshot();
    EXPECT_EQ(entries[0].what, "init:current");  // AfxGetThread() in InitInstance
    for (int i = 0; i < kCount; ++i) {
        EXPECT_EQ(entries[1 + i].what, (i % 3 == 0) ? "base" : "record") << i;
        EXPECT_EQ(entries[1 + i].value, i);
    }

    // WM_QUIT ends the loop; its wParam is the exit code.
    ASSERT_TRUE(thread->PostThreadMessage(WM_QUIT, 7, 0));
    ASSERT_TRUE(thread->WaitForEnd(kLongMs));
    DWORD code = 0;
    ASSERT_TRUE(::GetExitCodeThread(thread->m_hThread, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(probe.initCalls.load(), 1);
    EXPECT_EQ(probe.exitCalls.load(), 1);
    delete thread;
    EXPECT_TRUE(probe.destroyed.IsSet());
}

TEST(MessageLoopThread, PostRightAfterStartIsDelivered) {
    // No suspension: the post may come before the new thread has its queue.
    for (int round = 0; round < 20; ++round) {
        Probe probe;
        CWinThread* p = AfxBeginThread(RUNTIME_CLASS(CProbeThread), THREAD_PRIORITY_NORMAL, 0,
                                       CREATE_SUSPENDED);
        ASSERT_NE(p, nullptr);
        static_cast<CProbeThread*>(p)->probe = &probe;
        p->m_bAutoDelete = FALSE;
        p->ResumeThread();
        ASSERT_TRUE(p->PostThreadMessage(kRecord, 0, round));
        ASSERT_TRUE(probe.journal.WaitForSize(2));
        EXPECT_EQ(Values(probe.journal.Snapshot(), "record"), std::vector<LPARAM>{round});
        EndProbeThread(p);
    }
}

TEST(MessageLoopThread, InitInstanceFailureEndsTheThreadAfterExitInstance) {
    Probe probe;
    probe.initResult = FALSE;
    CProbeThread* thread = StartProbeThread(probe, /*leaveSuspended=*/true);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(thread->PostThreadMessage(kRecord, 0, 1));  // never dispatched
    thread->ResumeThread();
    ASSERT_TRUE(thread->WaitForEnd(kLongMs));
    EXPECT_EQ(probe.initCalls.load(), 1);
    EXPECT_EQ(probe.exitCalls.load(), 1);
    EXPECT_TRUE(Values(probe.journal.Snapshot(), "record").empty());
    delete thread;
}

TEST(MessageLoopThread, AutoDeleteObjectIsDeletedWhenTheThreadEnds) {
    Probe probe;
    probe.initResult = FALSE;
    CWinThread* p =
        AfxBeginThread(RUNTIME_CLASS(CProbeThread), THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(p->m_bAutoDelete);
    static_cast<CProbeThread*>(p)->probe = &probe;
    p->ResumeThread();  // from here on the object belongs to its thread
    EXPECT_TRUE(probe.destroyed.Wait());
    EXPECT_EQ(probe.exitCalls.load(), 1);
}

TEST(MessageLoopThread, SuspensionNestsAndHoldsBackMessagesUntilResumed) {
    Probe probe;
    CProbeThread* thread = StartProbeThread(probe);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(probe.journal.WaitForSize(1));  // InitInstance done

    EXPECT_EQ(thread->SuspendThread(), 0u);
    EXPECT_EQ(thread->SuspendThread(), 1u);
    EXPECT_EQ(thread->GetSuspendCount(), 2u);
    // The loop comes to rest when it wakes for the next message.
    ASSERT_TRUE(thread->PostThreadMessage(kRecord, 0, 1));
    ASSERT_TRUE(thread->WaitForRest(kLongMs));
    ASSERT_TRUE(thread->PostThreadMessage(kRecord, 0, 2));
    ASSERT_TRUE(thread->PostThreadMessage(kRecordBase, 0, 3));

    EXPECT_EQ(thread->ResumeThread(), 2u);
    EXPECT_TRUE(thread->WaitForRest(0));  // one suspension left: still at rest
    EXPECT_EQ(probe.journal.Size(), 1u);  // nothing dispatched

    EXPECT_EQ(thread->ResumeThread(), 1u);
    ASSERT_TRUE(probe.journal.WaitForSize(4));
    const std::vector<Entry> entries = probe.journal.Snapshot();
    EXPECT_EQ(entries[1].what, "record");
    EXPECT_EQ(entries[1].value, 1);
    EXPECT_EQ(entries[2].value, 2);
    EXPECT_EQ(entries[3].what, "base");
    EXPECT_EQ(entries[3].value, 3);

    EXPECT_EQ(thread->ResumeThread(), 0u);  // not suspended: no change
    EXPECT_EQ(thread->GetSuspendCount(), 0u);
    EXPECT_FALSE(thread->WaitForRest(0));
    EndProbeThread(thread);
}

TEST(MessageLoopThread, SuspendedThreadIsNeverInsideAHandlerNorHoldsItsLock) {
    CCriticalSection workLock;
    Probe probe;
    probe.workLock = &workLock;
    CProbeThread* thread = StartProbeThread(probe);
    ASSERT_NE(thread, nullptr);

    for (int round = 0; round < 30; ++round) {
        for (int i = 0; i < 50; ++i) ASSERT_TRUE(thread->PostThreadMessage(kWork, 0, 0));
        ASSERT_EQ(thread->SuspendThread(), 0u);
        ASSERT_TRUE(thread->PostThreadMessage(kWork, 0, 0));  // wakes an idle loop
        ASSERT_TRUE(thread->WaitForRest(kLongMs)) << round;
        EXPECT_FALSE(probe.inHandler.load()) << round;
        ASSERT_TRUE(workLock.Lock(kLongMs)) << round;
        workLock.Unlock();
        ASSERT_EQ(thread->ResumeThread(), 1u);
    }
    EndProbeThread(thread);
}

TEST(MessageLoopThread, SuspendingItselfInAHandlerTakesEffectWhenTheHandlerReturns) {
    Probe probe;
    CProbeThread* thread = StartProbeThread(probe);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(thread->PostThreadMessage(kSuspendSelf, 0, 0));
    ASSERT_TRUE(thread->PostThreadMessage(kRecord, 0, 1));
    ASSERT_TRUE(probe.journal.WaitForSize(2));
    ASSERT_TRUE(thread->WaitForRest(kLongMs));

    std::vector<Entry> entries = probe.journal.Snapshot();
    ASSERT_EQ(entries.size(), 2u);  // the handler returned; the next is held back
    EXPECT_EQ(entries[1].what, "suspended-self");
    EXPECT_EQ(entries[1].value, 0);  // previous count

    EXPECT_EQ(thread->ResumeThread(), 1u);
    ASSERT_TRUE(probe.journal.WaitForSize(3));
    EXPECT_EQ(probe.journal.Snapshot()[2].what, "record");
    EndProbeThread(thread);
}

TEST(MessageLoopThread, EndingASuspendedThreadRunsExitInstanceAndDropsTheQueue) {
    Probe probe;
    CProbeThread* thread = StartProbeThread(probe);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(probe.journal.WaitForSize(1));
    thread->SuspendThread();
    thread->SuspendThread();
    ASSERT_TRUE(thread->PostThreadMessage(kRecord, 0, 1));
    ASSERT_TRUE(thread->WaitForRest(kLongMs));

    thread->RequestEnd();
    EXPECT_TRUE(thread->IsEndRequested());
    ASSERT_TRUE(thread->WaitForEnd(kLongMs));
    EXPECT_EQ(probe.exitCalls.load(), 1);
    EXPECT_TRUE(Values(probe.journal.Snapshot(), "record").empty());
    delete thread;
}

TEST(MessageLoopThread, EndRequestedBeforeItEverRanSkipsInitInstance) {
    Probe probe;
    CProbeThread* thread = StartProbeThread(probe, /*leaveSuspended=*/true);
    ASSERT_NE(thread, nullptr);
    thread->RequestEnd();
    ASSERT_TRUE(thread->WaitForEnd(kLongMs));
    EXPECT_EQ(probe.initCalls.load(), 0);
    EXPECT_EQ(probe.exitCalls.load(), 1);
    delete thread;
}

TEST(AfxBeginThread, RefusesClassesThatAreNotCreatableThreads) {
    EXPECT_EQ(AfxBeginThread(RUNTIME_CLASS(CNotAThread)), nullptr);
    EXPECT_EQ(AfxBeginThread(RUNTIME_CLASS(CWinThread)), nullptr);  // not creatable
    EXPECT_EQ(AfxBeginThread(static_cast<CRuntimeClass*>(nullptr)), nullptr);
    EXPECT_EQ(AfxBeginThread(static_cast<AFX_THREADPROC>(nullptr), nullptr), nullptr);
}

// ---- workers -----------------------------------------------------------------

namespace {

struct WorkerState {
    Flag started;
    Flag release;
    std::atomic<CWinThread*> self{nullptr};
    std::atomic<BOOL> joinedSelf{TRUE};
    // Rest-point worker: loops taking the lock around short work.
    CCriticalSection* lock = nullptr;
    std::atomic<long> rounds{0};
    std::atomic<int> restsRefused{0};
};

UINT WaitForReleaseProc(LPVOID p) {
    auto* s = static_cast<WorkerState*>(p);
    s->self = AfxGetThread();
    s->joinedSelf = AfxGetThread()->WaitForEnd(INFINITE);  // must refuse at once
    s->started.Set();
    s->release.Wait();
    return 42;
}

UINT LockLoopProc(LPVOID p) {
    auto* s = static_cast<WorkerState*>(p);
    s->started.Set();
    while (AfxRestIfSuspended()) {
        CSingleLock lock(s->lock, TRUE);
        ++s->rounds;
        for (volatile int i = 0; i < 500; ++i) {
        }
    }
    ++s->restsRefused;
    return 9;
}

UINT WaitForEndEventProc(LPVOID p) {
    auto* s = static_cast<WorkerState*>(p);
    s->started.Set();
    ::WaitForSingleObject(AfxGetThread()->GetEndEvent(), INFINITE);
    return 5;
}

CWinThread* StartOwnedWorker(AFX_THREADPROC proc, WorkerState& state, bool leaveSuspended = false) {
    CWinThread* t = AfxBeginThread(proc, &state, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    if (t == nullptr) return nullptr;
    t->m_bAutoDelete = FALSE;
    if (!leaveSuspended) t->ResumeThread();
    return t;
}

DWORD ExitCodeOf(CWinThread* t) {
    DWORD code = 0;
    ::GetExitCodeThread(t->m_hThread, &code);
    return code;
}

}  // namespace

TEST(WorkerThread, RunsItsProcedureAndRefusesToJoinItself) {
    WorkerState state;
    CWinThread* t = StartOwnedWorker(&WaitForReleaseProc, state);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(state.started.Wait());
    EXPECT_EQ(state.self.load(), t);
    EXPECT_FALSE(state.joinedSelf.load());
    EXPECT_EQ(AfxGetThread(), nullptr);  // the test's own thread is not a framework thread
    EXPECT_TRUE(AfxRestIfSuspended());

    EXPECT_FALSE(t->WaitForEnd(0));  // still running
    state.release.Set();
    ASSERT_TRUE(t->WaitForEnd(kLongMs));
    EXPECT_EQ(ExitCodeOf(t), 42u);
    delete t;
}

TEST(WorkerThread, CreateSuspendedDoesNotRunUntilResumed) {
    WorkerState state;
    CWinThread* t = StartOwnedWorker(&WaitForReleaseProc, state, /*leaveSuspended=*/true);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->GetSuspendCount(), 1u);
    ASSERT_TRUE(t->WaitForRest(kLongMs));
    EXPECT_FALSE(state.started.IsSet());

    EXPECT_EQ(t->ResumeThread(), 1u);
    ASSERT_TRUE(state.started.Wait());
    state.release.Set();
    ASSERT_TRUE(t->WaitForEnd(kLongMs));
    delete t;
}

TEST(WorkerThread, SuspendedWorkerRestsOutsideItsLock) {
    CCriticalSection lock;
    WorkerState state;
    state.lock = &lock;
    CWinThread* t = StartOwnedWorker(&LockLoopProc, state);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(state.started.Wait());

    for (int round = 0; round < 50; ++round) {
        EXPECT_EQ(t->SuspendThread(), 0u);
        EXPECT_EQ(t->SuspendThread(), 1u);
        ASSERT_TRUE(t->WaitForRest(kLongMs)) << round;
        ASSERT_TRUE(lock.Lock(kLongMs)) << round;  // never held by the resting thread
        const long seen = state.rounds.load();
        lock.Unlock();
        EXPECT_EQ(t->ResumeThread(), 2u);
        EXPECT_TRUE(t->WaitForRest(0));  // still suspended once
        EXPECT_EQ(state.rounds.load(), seen);
        EXPECT_EQ(t->ResumeThread(), 1u);
        // It runs again.
        ASSERT_TRUE(afxtest::PollUntil([&] { return state.rounds.load() > seen; })) << round;
    }

    // Ending it while it rests: RestIfSuspended answers FALSE.
    t->SuspendThread();
    ASSERT_TRUE(t->WaitForRest(kLongMs));
    t->RequestEnd();
    ASSERT_TRUE(t->WaitForEnd(kLongMs));
    EXPECT_EQ(state.restsRefused.load(), 1);
    EXPECT_EQ(ExitCodeOf(t), 9u);
    delete t;
}

TEST(WorkerThread, EndRequestSignalsTheEndEvent) {
    WorkerState state;
    CWinThread* t = StartOwnedWorker(&WaitForEndEventProc, state);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(state.started.Wait());
    t->RequestEnd();
    ASSERT_TRUE(t->WaitForEnd(kLongMs));
    EXPECT_EQ(ExitCodeOf(t), 5u);
    delete t;
}

TEST(WorkerThread, DeletingTheObjectOfARunningWorkerEndsItFirst) {
    CCriticalSection lock;
    WorkerState state;
    state.lock = &lock;
    CWinThread* t = StartOwnedWorker(&LockLoopProc, state);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(state.started.Wait());
    delete t;  // the thread no longer uses the object once this returns
    EXPECT_EQ(state.restsRefused.load(), 1);
}

TEST(WorkerThread, ThreadOperationsOnAnObjectWithoutAThreadFail) {
    CWinThread t;
    EXPECT_EQ(t.SuspendThread(), static_cast<DWORD>(-1));
    EXPECT_EQ(t.ResumeThread(), static_cast<DWORD>(-1));
    EXPECT_FALSE(t.WaitForEnd(0));
    EXPECT_FALSE(t.PostThreadMessage(kRecord, 0, 0));
    EXPECT_TRUE(t.RestIfSuspended());  // not its thread: never blocks
}

TEST(WorkerThread, SuspendCountIsLimitedLikeTheSystems) {
    WorkerState state;
    CWinThread* t = StartOwnedWorker(&WaitForReleaseProc, state, /*leaveSuspended=*/true);
    ASSERT_NE(t, nullptr);
    for (DWORD i = 1; i < 127; ++i) ASSERT_EQ(t->SuspendThread(), i);
    EXPECT_EQ(t->SuspendThread(), static_cast<DWORD>(-1));
    EXPECT_EQ(t->GetSuspendCount(), 127u);
    t->RequestEnd();
    ASSERT_TRUE(t->WaitForEnd(kLongMs));
    EXPECT_FALSE(state.started.IsSet());
    delete t;
}
