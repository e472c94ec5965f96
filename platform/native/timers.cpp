// Waitable timers and the service thread that signals them.
//
// One service thread, started with the first SetWaitableTimer, sleeps on
// Global::service_cv until the earliest armed timer is due, and only then:
// nothing wakes it while no timer is due. Relative due times are waited for
// on the monotonic clock. An absolute due time is waited for on the system
// clock, so that a change of the real wall clock moves it, and the test
// offset wakes the thread to re-evaluate. After its first signal a periodic
// timer runs on the monotonic clock, as Windows' periodic timers do.
#include "internal.h"
#include "winplat/testing.h"

#include <algorithm>
#include <thread>

namespace winplat {

class TimerObject : public Object {
  public:
    explicit TimerObject(bool manual_reset) : Object(Kind::timer), manual(manual_reset) {}
    bool signaled(const ThreadState&) const override { return set; }
    bool consume(ThreadState&) override {
        if (!manual) set = false;
        return false;
    }
    void last_handle_closed() override;

    const bool manual;
    bool set = false;

    bool armed = false;
    bool absolute = false;
    SteadyClock::time_point due_mono;
    LONGLONG due_wall = 0;  // 100 ns units since 1601, on the (offset) wall clock
    LONG period = 0;        // milliseconds, 0 for a one-shot timer

    PTIMERAPCROUTINE routine = nullptr;
    LPVOID routine_arg = nullptr;
    std::weak_ptr<ThreadState> apc_thread;
};

namespace {

// Far-off due times are waited for at most this long at a time (then
// re-evaluated), which keeps every conversion below in range.
constexpr LONGLONG kLongestWait100ns = 24LL * 3600 * 10000000;  // a day
// Relative due times beyond this are taken as this.
constexpr LONGLONG kLongestRelative100ns = 100LL * 365 * 24 * 3600 * 10000000;  // a century

SteadyClock::duration from_100ns(LONGLONG value) {
    return std::chrono::duration_cast<SteadyClock::duration>(std::chrono::nanoseconds(value * 100));
}

// Stops the timer: out of the service's list, and completion routines that
// it queued but that have not run yet are withdrawn. Lock held.
void disarm_locked(TimerObject& timer) {
    Global& g = global();
    if (timer.armed) {
        timer.armed = false;
        auto& armed = g.armed_timers;
        armed.erase(std::remove_if(
                        armed.begin(), armed.end(),
                        [&](const std::shared_ptr<TimerObject>& t) { return t.get() == &timer; }),
                    armed.end());
    }
    if (std::shared_ptr<ThreadState> thread = timer.apc_thread.lock()) {
        auto& apcs = thread->apcs;
        apcs.erase(std::remove_if(apcs.begin(), apcs.end(),
                                  [&](const Apc& apc) { return apc.source == &timer; }),
                   apcs.end());
    }
    timer.apc_thread.reset();
    timer.routine = nullptr;
    timer.routine_arg = nullptr;
}

// Signals the timer, queues its completion routine to the thread that set
// it (dropped if that thread has ended) and re-arms a periodic timer.
// Returns false when the timer is no longer armed. Lock held.
bool fire_locked(TimerObject& timer, SteadyClock::time_point now_mono, LONGLONG now_wall) {
    timer.set = true;
    timer.wake_waiters();
    if (timer.routine != nullptr) {
        if (std::shared_ptr<ThreadState> thread = timer.apc_thread.lock()) {
            Apc apc;
            apc.timer_fn = timer.routine;
            apc.timer_arg = timer.routine_arg;
            apc.time_low = static_cast<DWORD>(static_cast<ULONGLONG>(now_wall));
            apc.time_high = static_cast<DWORD>(static_cast<ULONGLONG>(now_wall) >> 32);
            apc.source = &timer;
            queue_apc_locked(*thread, apc);
        }
    }
    if (timer.period <= 0) {
        timer.armed = false;
        return false;
    }
    const auto period = std::chrono::milliseconds(timer.period);
    if (timer.absolute) {
        timer.absolute = false;
        timer.due_mono = now_mono + period;
    } else {
        timer.due_mono += period;
        // A late service (or a long period of a stopped process) does not
        // produce a burst of catch-up signals.
        if (timer.due_mono <= now_mono) timer.due_mono = now_mono + period;
    }
    return true;
}

void service_loop() {
    Global& g = global();
    Lock lk(g.lock);
    for (;;) {
        const SteadyClock::time_point now_mono = SteadyClock::now();
        const LONGLONG now_wall = wall_clock_100ns();

        // Due timers first; a fired timer may leave the list.
        for (size_t i = 0; i < g.armed_timers.size();) {
            TimerObject& timer = *g.armed_timers[i];
            const bool due =
                timer.absolute ? timer.due_wall <= now_wall : timer.due_mono <= now_mono;
            if (due && !fire_locked(timer, now_mono, now_wall)) {
                g.armed_timers.erase(g.armed_timers.begin() + static_cast<ptrdiff_t>(i));
                continue;
            }
            ++i;
        }

        // Then sleep until the nearest one, on its own clock. (Copies only:
        // the timers may go while this thread waits.)
        bool any = false;
        bool next_absolute = false;
        SteadyClock::duration next_in = SteadyClock::duration::max();
        SteadyClock::time_point next_mono;
        for (const auto& timer : g.armed_timers) {
            const SteadyClock::duration in =
                timer->absolute
                    ? from_100ns(std::min(timer->due_wall - now_wall, kLongestWait100ns))
                    : timer->due_mono - now_mono;
            if (!any || in < next_in) {
                any = true;
                next_in = in;
                next_absolute = timer->absolute;
                next_mono = timer->due_mono;
            }
        }
        if (!any) {
            g.service_cv.wait(lk);
        } else if (next_absolute) {
            // An absolute deadline on the system clock moves with it.
            const auto due =
                std::chrono::system_clock::now() +
                std::chrono::duration_cast<std::chrono::system_clock::duration>(next_in);
            g.service_cv.wait_until(lk, due);
        } else {
            g.service_cv.wait_until(lk, next_mono);
        }
    }
}

}  // namespace

void TimerObject::last_handle_closed() { disarm_locked(*this); }

}  // namespace winplat

using namespace winplat;

extern "C" {

HANDLE WINAPI CreateWaitableTimerA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, LPCSTR lpTimerName) {
    return create_or_open(Kind::timer, lpTimerName,
                          [&] { return std::make_shared<TimerObject>(bManualReset != FALSE); });
}

BOOL WINAPI SetWaitableTimer(HANDLE hTimer, const LARGE_INTEGER* lpDueTime, LONG lPeriod,
                             PTIMERAPCROUTINE pfnCompletionRoutine, LPVOID lpArgToCompletionRoutine,
                             BOOL /*fResume: there is no power-saving suspend to leave*/) {
    if (lpDueTime == nullptr || lPeriod < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::shared_ptr<ThreadState> self;
    if (pfnCompletionRoutine != nullptr) {
        ThreadState& state = current_thread();
        Lock lk(global().lock);
        auto it = global().threads.find(state.id);
        if (it != global().threads.end()) self = it->second;
    }
    Global& g = global();
    Lock lk(g.lock);
    auto timer = lookup_kind_locked<TimerObject>(hTimer, Kind::timer);
    if (!timer) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Setting an active timer stops it first, withdrawing its pending
    // completion routines; the new setting starts non-signalled.
    disarm_locked(*timer);
    timer->set = false;

    const LONGLONG due = lpDueTime->QuadPart;
    if (due > 0) {
        timer->absolute = true;
        timer->due_wall = due;
    } else {
        timer->absolute = false;
        const LONGLONG in = due < -kLongestRelative100ns ? kLongestRelative100ns : -due;
        timer->due_mono = SteadyClock::now() + from_100ns(in);
    }
    timer->period = lPeriod;
    timer->routine = pfnCompletionRoutine;
    timer->routine_arg = lpArgToCompletionRoutine;
    timer->apc_thread = self;
    timer->armed = true;
    g.armed_timers.push_back(timer);

    if (!g.service_started) {
        try {
            std::thread(service_loop).detach();
        } catch (...) {
            disarm_locked(*timer);
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        g.service_started = true;
    }
    g.service_cv.notify_one();
    return TRUE;
}

BOOL WINAPI CancelWaitableTimer(HANDLE hTimer) {
    Lock lk(global().lock);
    auto timer = lookup_kind_locked<TimerObject>(hTimer, Kind::timer);
    if (!timer) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    disarm_locked(*timer);  // the signalled state stays as it is
    return TRUE;
}

void winplat_test_set_wall_clock_offset(LONGLONG offset_100ns) {
    Global& g = global();
    Lock lk(g.lock);
    set_wall_clock_offset(offset_100ns);
    g.service_cv.notify_one();
}

}  // extern "C"
