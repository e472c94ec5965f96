// Relative timers against the real clock across the 32-bit wrap of the tick
// count: the tick count starts just before the wrap, and one-shot and
// repeating timers keep their times through it. Only the native platform
// lets a test set the tick count.
#include "support/engine_test_support.h"

#if WINPLAT_NATIVE
#include "winplat/testing.h"

#include <atomic>
#include <future>
#include <memory>

namespace {

using namespace enginetest;

// Tick counts step by up to ~16 ms on some systems.
constexpr milliseconds kTickSlack{20};

class TickWrapTest : public ManagerTest {
  protected:
    std::vector<std::unique_ptr<RecordingSite>> sites;
    std::vector<std::unique_ptr<Timer>> timers;
};

TEST_F(TickWrapTest, TimersKeepTheirTimesThroughTheWrap) {
    sites.push_back(std::make_unique<RecordingSite>());
    RecordingSite& site = *sites.back();
    // 100 ms before the wrap: the one-shot and every period of the repeating
    // timer from the fourth on fall after it.
    winplat_test_set_tick_count(0xFFFFFFFFu - 100u);
    timers.push_back(std::make_unique<Timer>(1, &site, 300));
    Timer& oneShot = *timers.back();
    timers.push_back(std::make_unique<Timer>(2, &site, 30, TRUE, 30));
    Timer& repeating = *timers.back();

    std::promise<void> oneShotCame;
    std::atomic<bool> once{false};
    site.SetAction([&](DWORD id) {
        if (id == 1 && !once.exchange(true)) oneShotCame.set_value();
    });
    auto oneShotSeen = oneShotCame.get_future();

    const auto start = Clock::now();
    ASSERT_EQ(m->StartTimer(oneShot.get()), S_OK);
    ASSERT_EQ(m->StartTimer(repeating.get()), S_OK);
    // The one-shot comes once, after its time; by then the repeating timer
    // has come about ten times, never before its nominal times.
    ASSERT_EQ(oneShotSeen.wait_for(kLongWait), std::future_status::ready);
    ASSERT_EQ(m->StopTimer(2), S_OK);
    const DWORD tickAfter = GetTickCount();
    EXPECT_LT(tickAfter, 0x80000000u) << "the tick count wrapped during the test";

    size_t periods = 0;
    for (const auto& call : site.Calls()) {
        if (call.id == 1) {
            EXPECT_GE(call.when - start, milliseconds(300) - kTickSlack);
            EXPECT_LT(call.when - start, kLongWait);
        } else {
            ++periods;
            EXPECT_GE(call.when - start, milliseconds(30) * periods - kTickSlack)
                << "period " << periods;
        }
    }
    // Ten periods fit before the one-shot; a loaded machine may drop some.
    EXPECT_GE(periods, 5u) << "the repeating timer stalled at the wrap";
    size_t oneShotCalls = 0;
    for (const auto& call : site.Calls()) oneShotCalls += call.id == 1;
    EXPECT_EQ(oneShotCalls, 1u);
}

}  // namespace
#endif  // WINPLAT_NATIVE
