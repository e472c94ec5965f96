// State of the engine's test controls. Each is one atomic word, so reading
// them costs the engine next to nothing when no test has set them.
#include "core/testing.h"

#include <atomic>

namespace horolog {
namespace {

std::atomic<testing::TickSource> g_tickSource{nullptr};
std::atomic<testing::DrawSource> g_drawSource{nullptr};
std::atomic<testing::SchedulerObserver> g_observer{nullptr};
std::atomic<unsigned> g_faults{0};

}  // namespace

DWORD SchedulerTickCount() {
    testing::TickSource source = g_tickSource.load(std::memory_order_acquire);
    return source ? source() : GetTickCount();
}

void NotifySchedulerObserver(CHorolog* pHorolog, SchedulerEvent event, DWORD value) {
    if (testing::SchedulerObserver observer = g_observer.load(std::memory_order_acquire))
        observer(pHorolog, event, value);
}

bool FaultInjected(Fault fault) { return (g_faults.load(std::memory_order_relaxed) & fault) != 0; }

testing::DrawSource ActiveDrawSource() { return g_drawSource.load(std::memory_order_acquire); }

namespace testing {

void SetTickSource(TickSource source) { g_tickSource.store(source, std::memory_order_release); }
void SetDrawSource(DrawSource source) { g_drawSource.store(source, std::memory_order_release); }
void SetSchedulerObserver(SchedulerObserver observer) {
    g_observer.store(observer, std::memory_order_release);
}
void SetFaults(unsigned faultMask) { g_faults.store(faultMask, std::memory_order_relaxed); }

}  // namespace testing
}  // namespace horolog
