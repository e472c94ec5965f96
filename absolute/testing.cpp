// State of the absolute side's test controls: one atomic word each, so the
// library pays next to nothing for them when no test has set them.
#include "absolute/testing.h"

#include <atomic>

namespace horolog {
namespace {

std::atomic<testing::AbsoluteClock> g_clock{nullptr};
std::atomic<testing::AbsoluteObserver> g_observer{nullptr};
std::atomic<unsigned> g_faults{0};

}  // namespace

Chron AbsoluteNow() {
    if (testing::AbsoluteClock clock = g_clock.load(std::memory_order_acquire)) {
        const FILETIME now = clock();
        return Chron(now, Chron::kUtc, -1);
    }
    return Chron::GetTickCount();
}

void NotifyAbsoluteObserver(AbsoluteEvent event, const TIMERPARAMETERS* pTimer) {
    if (testing::AbsoluteObserver observer = g_observer.load(std::memory_order_acquire))
        observer(event, pTimer);
}

bool AbsoluteFaultInjected(AbsoluteFault fault) {
    return (g_faults.load(std::memory_order_relaxed) & fault) != 0;
}

bool ConsumeAbsoluteFault(AbsoluteFault fault) {
    if ((g_faults.load(std::memory_order_relaxed) & fault) == 0) return false;
    return (g_faults.fetch_and(~static_cast<unsigned>(fault), std::memory_order_relaxed) & fault) !=
           0;
}

namespace testing {

void SetAbsoluteClock(AbsoluteClock clock) { g_clock.store(clock, std::memory_order_release); }
void SetAbsoluteObserver(AbsoluteObserver observer) {
    g_observer.store(observer, std::memory_order_release);
}
void SetAbsoluteFaults(unsigned faultMask) { g_faults.store(faultMask, std::memory_order_relaxed); }

}  // namespace testing
}  // namespace horolog
