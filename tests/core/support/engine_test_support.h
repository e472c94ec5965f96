// Helpers shared by the engine's test suites: a recording timer site, timer
// records with their context block, a controllable tick count and a probe on
// the scheduler's turns.
#ifndef HOROLOG_TESTS_ENGINE_TEST_SUPPORT_H
#define HOROLOG_TESTS_ENGINE_TEST_SUPPORT_H

#include "core/manager.h"
#include "core/testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace enginetest {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Generous bound for anything expected within a few hundred milliseconds.
// Under Wine the scheduler thread's first CoInitialize in a fresh process
// has been seen to take over 10 s while Wine starts its COM services, so the
// bound leaves room for that.
constexpr milliseconds kLongWait{30000};

// A client's timer record together with the context block it must carry.
struct Timer {
    TIMERPARAMETERS params;
    alignas(8) unsigned char context[TIMER_CONTEXT_SIZE];

    explicit Timer(DWORD id = 0, ITimerSite* site = nullptr, LONG remaining = 0,
                   BOOL repeat = FALSE, LONG interval = 0, DWORD type = TIMERTYPE_RELATIVE) {
        std::memset(&params, 0, sizeof params);
        std::memset(context, 0, sizeof context);
        params.dwTimerId = id;
        params.pContext = context;
        params.pSite = site;
        params.lRemaining = remaining;
        params.bRepeat = repeat;
        params.lInterval = interval;
        params.dwTimerType = type;
        // An absolute record is due far in the future unless a test says
        // otherwise, so that it stays registered while the test looks at it.
        if (type == TIMERTYPE_ABSOLUTE) params.ftDueTime.dwHighDateTime = 0x7FFFFFFF;
    }
    TIMERPARAMETERS* get() { return &params; }
};

// A site that records every notification. It is owned by the test, so its
// reference count only tells what the library did with it. An optional
// action runs inside OnTimer, on the scheduler thread.
class RecordingSite : public ITimerSite {
  public:
    struct Call {
        DWORD id;
        DWORD event;
        Clock::time_point when;
        DWORD thread;
    };

    explicit RecordingSite(ULONG initialRefs = 1) : m_refs(initialRefs) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
        if (ppv) *ppv = nullptr;
        ++queryInterfaceCalls;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_refs; }

    HRESULT STDMETHODCALLTYPE OnTimer(DWORD id, DWORD event) override {
        refsDuringCall = m_refs.load();
        {
            std::lock_guard<std::mutex> g(m_mx);
            m_calls.push_back({id, event, Clock::now(), GetCurrentThreadId()});
        }
        m_cv.notify_all();
        std::function<void(DWORD)> action;
        {
            std::lock_guard<std::mutex> g(m_mx);
            action = m_action;
        }
        if (action) action(id);
        {
            std::lock_guard<std::mutex> g(m_mx);
            ++m_returned;
        }
        m_cv.notify_all();
        return S_OK;
    }

    void SetAction(std::function<void(DWORD)> action) {
        std::lock_guard<std::mutex> g(m_mx);
        m_action = std::move(action);
    }

    // Waits until at least n calls have returned.
    bool WaitForCalls(size_t n, milliseconds timeout = kLongWait) {
        std::unique_lock<std::mutex> lock(m_mx);
        return m_cv.wait_for(lock, timeout, [&] { return m_returned >= n; });
    }
    // Waits until at least n calls have begun.
    bool WaitForCallStarts(size_t n, milliseconds timeout = kLongWait) {
        std::unique_lock<std::mutex> lock(m_mx);
        return m_cv.wait_for(lock, timeout, [&] { return m_calls.size() >= n; });
    }

    std::vector<Call> Calls() {
        std::lock_guard<std::mutex> g(m_mx);
        return m_calls;
    }
    size_t CallCount() {
        std::lock_guard<std::mutex> g(m_mx);
        return m_calls.size();
    }
    std::vector<DWORD> Ids() {
        std::vector<DWORD> ids;
        for (const Call& c : Calls()) ids.push_back(c.id);
        return ids;
    }
    ULONG Refs() const { return m_refs.load(); }

    std::atomic<ULONG> refsDuringCall{0};
    std::atomic<int> queryInterfaceCalls{0};

  private:
    std::atomic<ULONG> m_refs;
    std::mutex m_mx;
    std::condition_variable m_cv;
    std::vector<Call> m_calls;
    size_t m_returned = 0;
    std::function<void(DWORD)> m_action;
};

// Several sites may share one journal to check the order of notifications
// across sites.
class Journal {
  public:
    void Add(DWORD id) {
        {
            std::lock_guard<std::mutex> g(m_mx);
            m_ids.push_back(id);
        }
        m_cv.notify_all();
    }
    bool WaitForSize(size_t n, milliseconds timeout = kLongWait) {
        std::unique_lock<std::mutex> lock(m_mx);
        return m_cv.wait_for(lock, timeout, [&] { return m_ids.size() >= n; });
    }
    std::vector<DWORD> Ids() {
        std::lock_guard<std::mutex> g(m_mx);
        return m_ids;
    }

  private:
    std::mutex m_mx;
    std::condition_variable m_cv;
    std::vector<DWORD> m_ids;
};

// A tick count that moves only when a test moves it.
class FakeTicks {
  public:
    static void Install(DWORD start) {
        Now().store(start);
        horolog::testing::SetTickSource(&Read);
    }
    static void Uninstall() { horolog::testing::SetTickSource(nullptr); }
    static void Advance(DWORD ms) { Now().fetch_add(ms); }
    static DWORD Read() { return Now().load(); }

  private:
    static std::atomic<DWORD>& Now() {
        static std::atomic<DWORD> now{0};
        return now;
    }
};

// Counts the scheduler's reports and lets a test wait for a condition that
// the scheduler makes true.
class SchedulerProbe {
  public:
    struct Report {
        CHorolog* manager;
        horolog::SchedulerEvent event;
        DWORD value;
        DWORD thread;
    };

    static SchedulerProbe& Get() {
        static SchedulerProbe probe;
        return probe;
    }
    void Install() {
        {
            std::lock_guard<std::mutex> g(m_mx);
            m_reports.clear();
        }
        horolog::testing::SetSchedulerObserver(&Observe);
    }
    void Uninstall() { horolog::testing::SetSchedulerObserver(nullptr); }

    size_t Count(horolog::SchedulerEvent event) {
        std::lock_guard<std::mutex> g(m_mx);
        size_t n = 0;
        for (const Report& r : m_reports) n += r.event == event;
        return n;
    }
    std::vector<Report> Reports() {
        std::lock_guard<std::mutex> g(m_mx);
        return m_reports;
    }
    // The value of the latest report of this kind; false when none.
    bool Last(horolog::SchedulerEvent event, DWORD* value) {
        std::lock_guard<std::mutex> g(m_mx);
        for (auto it = m_reports.rbegin(); it != m_reports.rend(); ++it)
            if (it->event == event) {
                *value = it->value;
                return true;
            }
        return false;
    }
    // Waits until pred() holds; pred is tested at every report. pred runs
    // without the probe's lock (it may read the reports), so a report that
    // comes while it runs is noticed by its number rather than by a
    // notification that nobody was waiting for.
    bool WaitUntil(const std::function<bool()>& pred, milliseconds timeout = kLongWait) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::unique_lock<std::mutex> lock(m_mx);
        for (;;) {
            const size_t seen = m_nReports;
            lock.unlock();
            if (pred()) return true;
            lock.lock();
            if (m_nReports != seen) continue;
            if (m_cv.wait_until(lock, deadline) == std::cv_status::timeout) {
                lock.unlock();
                return pred();
            }
        }
    }
    // Waits until more than `before` reports of this kind have come.
    bool WaitForCount(horolog::SchedulerEvent event, size_t atLeast,
                      milliseconds timeout = kLongWait) {
        return WaitUntil([&] { return Count(event) >= atLeast; }, timeout);
    }
    std::set<DWORD> Threads() {
        std::lock_guard<std::mutex> g(m_mx);
        std::set<DWORD> threads;
        for (const Report& r : m_reports) threads.insert(r.thread);
        return threads;
    }

  private:
    static void Observe(CHorolog* m, horolog::SchedulerEvent event, DWORD value) {
        SchedulerProbe& p = Get();
        {
            std::lock_guard<std::mutex> g(p.m_mx);
            p.m_reports.push_back({m, event, value, GetCurrentThreadId()});
            ++p.m_nReports;
        }
        p.m_cv.notify_all();
    }

    std::mutex m_mx;
    std::condition_variable m_cv;
    std::vector<Report> m_reports;
    size_t m_nReports = 0;  // ever made; never reset
};

// Reads a record field under the manager's lock, as the scheduler writes it.
template <class F>
auto Locked(CHorolog* m, F read) -> decltype(read()) {
    m->Lock();
    auto value = read();
    m->Unlock();
    return value;
}

// The relative queue's records, head first, read under the lock.
inline std::vector<TIMERPARAMETERS*> QueueOf(CHorolog* m) {
    std::vector<TIMERPARAMETERS*> records;
    m->Lock();
    if (m->m_pTimerList) {
        POSITION pos = m->m_pTimerList->GetHeadPosition();
        while (pos) records.push_back(m->m_pTimerList->GetNext(pos));
    }
    m->Unlock();
    return records;
}

// Waits, yielding, until pred() holds or the time is up. For states that no
// event announces (a thread that has gone).
inline bool Eventually(const std::function<bool()>& pred, milliseconds timeout = kLongWait) {
    const auto deadline = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

inline bool AllCountersZero() {
    return CHorolog::m_uiObjectCount.load() == 0 && CHorolog::m_uiRefCount.load() == 0 &&
           CHorolog::m_uiTimersCount.load() == 0 && CHorolog::m_uiAbsTimersCount.load() == 0 &&
           CHorolog::m_uiThreadCount.load() == 0;
}

// The process-wide counters must equal what the live managers hold; with
// no manager alive they are all 0.
inline void ExpectCountersZero() {
    EXPECT_EQ(CHorolog::m_uiObjectCount.load(), 0u);
    EXPECT_EQ(CHorolog::m_uiRefCount.load(), 0u);
    EXPECT_EQ(CHorolog::m_uiTimersCount.load(), 0u);
    EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(), 0u);
    EXPECT_EQ(CHorolog::m_uiThreadCount.load(), 0u);
}

// A fixture that owns one manager (one reference) and checks at the end
// that releasing it ends everything and leaves the counters at 0.
class ManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ExpectCountersZero();
        m = new CHorolog(nullptr);
        m->AddRef();
    }
    void TearDown() override {
        horolog::testing::SetFaults(0);
        if (m) {
            EXPECT_EQ(ReleaseManager(), 0u);
        }
        SchedulerProbe::Get().Uninstall();
        FakeTicks::Uninstall();
        horolog::testing::SetDrawSource(nullptr);
        // A scheduler thread that destroys the manager itself may still be
        // on its way out.
        EXPECT_TRUE(Eventually(AllCountersZero));
        ExpectCountersZero();
    }
    ULONG ReleaseManager() {
        CHorolog* p = m;
        m = nullptr;
        return p->Release();
    }

    CHorolog* m = nullptr;
};

}  // namespace enginetest

#endif  // HOROLOG_TESTS_ENGINE_TEST_SUPPORT_H
