// Client threads racing on the one manager: starts, stops, restarts and
// re-use of records of every kind, pauses, references and ids, and timers
// started and stopped from callbacks; then the driver's checks (see
// tools/stress/stress.h). A failure prints the seed; HOROLOG_STRESS_SEED
// replays its choices.
#include "server_fixture.h"
#include "stress.h"

#include <cstdio>

namespace servertest {
namespace {

struct StressCase {
    const char* name;
    int clients;
    int slotsPerClient;
    int milliseconds;
};

void PrintTo(const StressCase& c, std::ostream* os) { *os << c.name; }

// Many records per client, and many clients on few records (every record
// contended by its own client's operations and its parent's callbacks).
const StressCase kCases[] = {
    {"FourClientsManyRecords", 4, 6, 2000},
    {"EightClientsFewRecords", 8, 2, 1200},
};

class Stress : public ServerTest, public ::testing::WithParamInterface<StressCase> {};

TEST_P(Stress, EveryCheckHoldsAfterQuiescence) {
    const StressCase& c = GetParam();
    ASSERT_EQ(CallDllRegisterServer(), S_OK);
    IHorolog* pAnchor = GetHorolog();
    ASSERT_NE(pAnchor, nullptr);

    horolog_stress::Options options;
    options.clients = c.clients;
    options.slotsPerClient = c.slotsPerClient;
    options.duration = std::chrono::milliseconds(c.milliseconds);
    options.seed = horolog_stress::SeedFromEnvironment();
    const horolog_stress::Result result = horolog_stress::Run(pAnchor, options);
    std::printf("%s\n", result.Describe().c_str());

    EXPECT_TRUE(result.Passed()) << result.Describe();
    // The run did what it is for.
    EXPECT_GT(result.totals.starts, 100u) << result.Describe();
    EXPECT_GT(result.totals.callbacks, 50u) << result.Describe();
    EXPECT_GT(result.totals.fromCallbacks, 0u) << result.Describe();
    EXPECT_GT(result.totals.pauses, 0u) << result.Describe();

    // The anchor is the last reference: the manager goes with it.
    EXPECT_EQ(pAnchor->Release(), 0u);
    EXPECT_EQ(ReadCounters(), Counters{});
}

INSTANTIATE_TEST_SUITE_P(Clients, Stress, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<StressCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace servertest
