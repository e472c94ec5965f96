// A client that plays a sequence of manager operations decoded from bytes:
// the harness of the coverage-guided fuzz target and of the replay of its
// corpus in the ordinary test runs.
#ifndef HOROLOG_TESTS_ENGINE_OPS_H
#define HOROLOG_TESTS_ENGINE_OPS_H

#include <cstddef>
#include <cstdint>

namespace engineops {

// Plays the operations that the bytes describe against a fresh manager and
// ends clean: every timer stopped or released with its manager, every
// manager released, every record and site freed. Aborts the process when
// the library breaks a promise it makes to clients (a notification for a
// timer that was never started, a record still registered after its id was
// stopped, counters that do not return to 0).
void Run(const uint8_t* data, size_t size);

}  // namespace engineops

#endif  // HOROLOG_TESTS_ENGINE_OPS_H
