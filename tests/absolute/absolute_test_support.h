// Helpers of the absolute-timer tests: a probe on what the absolute side
// does with each record, a clock for the expiry check that only the test
// moves, due times relative to now, and checks of a record's registration.
#ifndef HOROLOG_TESTS_ABSOLUTE_TEST_SUPPORT_H
#define HOROLOG_TESTS_ABSOLUTE_TEST_SUPPORT_H

#include "support/engine_test_support.h"

#include "absolute/absolute_timers.h"
#include "absolute/testing.h"
#include "chron/chron.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace abstest {

using namespace enginetest;
using horolog::AbsoluteEvent;

constexpr int64_t kTicksPerMs = 10000;
constexpr int64_t kTicksPerMinute = 60 * 1000 * kTicksPerMs;

// Ids that no other program sharing the named-object namespace is likely to
// use.
constexpr DWORD kIdBase = 0x3A7B0000u;

inline FILETIME ToFileTime(uint64_t ticks) {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ft;
}
inline uint64_t Ticks(const FILETIME& ft) {
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
// The current UTC time in 100 ns units, from the clock the library uses.
inline uint64_t NowTicks() { return Chron::GetTickCount().Ticks(); }
inline FILETIME FromNow(int64_t offsetTicks) {
    return ToFileTime(static_cast<uint64_t>(static_cast<int64_t>(NowTicks()) + offsetTicks));
}

inline std::string TimerName(DWORD id) {
    char name[32];
    std::snprintf(name, sizeof name, "Timer%ld", static_cast<long>(static_cast<int32_t>(id)));
    return name;
}

// Whether some object holds the name: creating a waitable timer with it
// opens the existing one (or fails for another kind of object). The handle
// made for the question is closed at once.
inline bool NameExists(const std::string& name) {
    SetLastError(ERROR_SUCCESS);
    HANDLE h = CreateWaitableTimerA(nullptr, FALSE, name.c_str());
    const DWORD error = GetLastError();
    if (!h) return true;
    CloseHandle(h);
    return error == ERROR_ALREADY_EXISTS;
}

// Records every report of the absolute side; tests wait for reports about a
// given record. An optional action runs inside the report, on the reporting
// thread (without the probe's lock).
class AbsoluteProbe {
  public:
    struct Report {
        AbsoluteEvent event;
        const TIMERPARAMETERS* record;
        Clock::time_point when;
        DWORD thread;
    };

    static AbsoluteProbe& Get() {
        static AbsoluteProbe probe;
        return probe;
    }
    void Install() {
        {
            std::lock_guard<std::mutex> g(m_mx);
            m_reports.clear();
            m_action = nullptr;
        }
        horolog::testing::SetAbsoluteObserver(&Observe);
    }
    void Uninstall() {
        horolog::testing::SetAbsoluteObserver(nullptr);
        std::lock_guard<std::mutex> g(m_mx);
        m_action = nullptr;
    }
    void SetAction(std::function<void(AbsoluteEvent, const TIMERPARAMETERS*)> action) {
        std::lock_guard<std::mutex> g(m_mx);
        m_action = std::move(action);
    }

    size_t Count(AbsoluteEvent event, const void* record) {
        std::lock_guard<std::mutex> g(m_mx);
        return CountLocked(event, record);
    }
    // Waits until at least n reports of this kind about this record (any
    // record for null) have come.
    bool WaitFor(AbsoluteEvent event, const void* record, size_t n = 1,
                 milliseconds timeout = kLongWait) {
        std::unique_lock<std::mutex> lock(m_mx);
        return m_cv.wait_for(lock, timeout, [&] { return CountLocked(event, record) >= n; });
    }
    // The reports about this record, in order.
    std::vector<Report> About(const void* record) {
        std::lock_guard<std::mutex> g(m_mx);
        std::vector<Report> out;
        for (const Report& r : m_reports)
            if (r.record == record) out.push_back(r);
        return out;
    }
    std::vector<AbsoluteEvent> EventsAbout(const void* record) {
        std::vector<AbsoluteEvent> out;
        for (const Report& r : About(record)) out.push_back(r.event);
        return out;
    }

  private:
    size_t CountLocked(AbsoluteEvent event, const void* record) {
        size_t n = 0;
        for (const Report& r : m_reports)
            n += r.event == event && (record == nullptr || r.record == record);
        return n;
    }
    static void Observe(AbsoluteEvent event, const TIMERPARAMETERS* record) {
        AbsoluteProbe& p = Get();
        std::function<void(AbsoluteEvent, const TIMERPARAMETERS*)> action;
        {
            std::lock_guard<std::mutex> g(p.m_mx);
            action = p.m_action;
        }
        if (action) action(event, record);
        {
            std::lock_guard<std::mutex> g(p.m_mx);
            p.m_reports.push_back({event, record, Clock::now(), GetCurrentThreadId()});
        }
        p.m_cv.notify_all();
    }

    std::mutex m_mx;
    std::condition_variable m_cv;
    std::vector<Report> m_reports;
    std::function<void(AbsoluteEvent, const TIMERPARAMETERS*)> m_action;
};

// The expiry check's clock, moved only by the test.
class FakeWallClock {
  public:
    static void Install(uint64_t ticks) {
        Now().store(ticks);
        horolog::testing::SetAbsoluteClock(&Read);
    }
    static void Uninstall() { horolog::testing::SetAbsoluteClock(nullptr); }
    static void Set(uint64_t ticks) { Now().store(ticks); }

  private:
    static FILETIME Read() { return ToFileTime(Now().load()); }
    static std::atomic<uint64_t>& Now() {
        static std::atomic<uint64_t> now{0};
        return now;
    }
};

// One manager per test, the probe installed; the test controls are reset
// and the counters checked at the end.
class AbsoluteTest : public ManagerTest {
  protected:
    void SetUp() override {
        ManagerTest::SetUp();
        AbsoluteProbe::Get().Install();
    }
    void TearDown() override {
        if (m) {
            // The timers end before the probe, the clock, the records and
            // the sites go.
            EXPECT_EQ(ReleaseManager(), 0u);
        }
        m_timers.clear();
        m_sites.clear();
        AbsoluteProbe::Get().Uninstall();
        FakeWallClock::Uninstall();
        horolog::testing::SetAbsoluteFaults(0);
        ManagerTest::TearDown();
    }

    // Records and sites belong to the fixture, which releases them only
    // after the manager, so that a test that fails half-way leaves nothing
    // registered behind a released record. A test releases a record itself,
    // as a client may once the timer is over, with Free.
    Timer* NewTimer(DWORD id, ITimerSite* site, FILETIME due) {
        m_timers.push_back(std::make_unique<Timer>(id, site, 0, FALSE, 0, TIMERTYPE_ABSOLUTE));
        m_timers.back()->params.ftDueTime = due;
        return m_timers.back().get();
    }
    RecordingSite* NewSite() {
        m_sites.push_back(std::make_unique<RecordingSite>());
        return m_sites.back().get();
    }
    // Releases the record and returns its former address, for the probe.
    const TIMERPARAMETERS* Free(Timer* t) {
        const TIMERPARAMETERS* address = t->get();
        for (auto& owned : m_timers)
            if (owned.get() == t) owned.reset();
        return address;
    }

    CAbsoluteTimers* AbsThread() { return static_cast<CAbsoluteTimers*>(m->m_pAbsTimersThread); }

    // The record is the entry of its id in the absolute map and registered
    // by the absolute-timer thread; the counters equal the map sizes.
    bool IsRegistered(TIMERPARAMETERS* record) {
        return Locked(m, [&] {
            TIMERPARAMETERS* entry = nullptr;
            CWinThread* thread = nullptr;
            return m->m_pAbsTimerMap && m->m_pAbsTimerMap->Lookup(record->dwTimerId, entry) &&
                   entry == record && m->m_mapAbsTimerThreads.Lookup(record, thread) &&
                   thread == nullptr;
        });
    }
    void ExpectCountersMatchMaps() {
        Locked(m, [&] {
            EXPECT_EQ(CHorolog::m_uiAbsTimersCount.load(),
                      static_cast<UINT>(m->m_pAbsTimerMap ? m->m_pAbsTimerMap->GetCount() : 0));
            EXPECT_EQ(CHorolog::m_uiThreadCount.load(),
                      static_cast<UINT>(m->m_mapAbsTimerThreads.GetCount()));
            return 0;
        });
    }
    // Nothing of the library is left on the record or under its name. Only
    // for records that the client still holds.
    void ExpectEnded(TIMERPARAMETERS* record, const char* what = "") {
        EXPECT_EQ(record->hWaitableTimer, nullptr) << what;
        EXPECT_FALSE(IsRegistered(record)) << what;
        EXPECT_FALSE(NameExists(TimerName(record->dwTimerId))) << what;
        ExpectCountersMatchMaps();
    }
    HANDLE HandleOf(TIMERPARAMETERS* record) {
        return Locked(m, [&] { return record->hWaitableTimer; });
    }

  private:
    std::vector<std::unique_ptr<Timer>> m_timers;
    std::vector<std::unique_ptr<RecordingSite>> m_sites;
};

}  // namespace abstest

#endif  // HOROLOG_TESTS_ABSOLUTE_TEST_SUPPORT_H
