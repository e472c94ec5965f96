// A concurrency stress driver for the timer service: several client threads
// start, stop, restart and re-use relative and absolute timers at random,
// pause and resume, take and give back references, and start and stop
// timers from inside callbacks, against the real module. Afterwards it
// checks what must hold whatever the interleaving:
//
//  - the module's five counters equal what the driver knows is registered
//    and held (a known set of long timers is left queued for the check, then
//    stopped, and everything must read zero again);
//  - no record is called after its StopTimer returned, except for a callback
//    that was already under way when the stop was made;
//  - every one-shot timer that was not stopped was called exactly once;
//  - no record ever runs two callbacks at once, and a callback carries the
//    id its record was started with;
//  - nothing hangs: a watchdog prints every client's current step and aborts
//    the process when a run overstays its bound.
//
// Each client draws its choices from its own generator, seeded from one base
// seed; the base seed is printed with every failure and can be set with the
// environment variable HOROLOG_STRESS_SEED to replay a run's choices (thread
// timing still varies).
#ifndef HOROLOG_TOOLS_STRESS_H
#define HOROLOG_TOOLS_STRESS_H

#include "horolog/server.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace horolog_stress {

struct Totals {
    uint64_t starts = 0;         // StartTimer calls that succeeded
    uint64_t stops = 0;          // StopTimer calls
    uint64_t callbacks = 0;      // OnTimer calls
    uint64_t fromCallbacks = 0;  // starts and stops made inside OnTimer
    uint64_t pauses = 0;         // PauseTimers / ResumeTimers pairs
    uint64_t references = 0;     // GetHorolog / Release pairs
    uint64_t ids = 0;            // GetTimerId calls
};

struct Options {
    int clients = 4;         // client threads
    int slotsPerClient = 6;  // records each client cycles through (each with a child)
    std::chrono::milliseconds duration{2000};  // random operations, before quiescence
    uint64_t seed = 0;                         // base seed; see SeedFromEnvironment
    // How long the whole run, quiescence included, may take before the
    // watchdog aborts the process.
    std::chrono::milliseconds watchdog{120000};
    // Called every reportEvery while the clients run (for long runs), with
    // the seconds elapsed and the totals so far, on the calling thread.
    std::chrono::milliseconds reportEvery{0};
    std::function<void(double seconds, const Totals& totals)> onReport;
};

// The seed named by HOROLOG_STRESS_SEED, or a fresh random one.
uint64_t SeedFromEnvironment();

struct Result {
    uint64_t seed = 0;
    Totals totals;
    std::vector<std::string> failures;  // empty when every check held
    bool Passed() const { return failures.empty(); }
    // One line of totals, and every failure with the seed.
    std::string Describe() const;
};

// Runs the clients against the manager. `pAnchor` is a reference the
// caller holds for the whole run, so that the manager stays alive; the
// clients take and give back further references with GetHorolog. COM must
// be initialised on the calling thread; each client thread initialises it
// for itself. Returns when every timer the driver started is stopped or has
// completed.
Result Run(IHorolog* pAnchor, const Options& options);

}  // namespace horolog_stress

#endif  // HOROLOG_TOOLS_STRESS_H
