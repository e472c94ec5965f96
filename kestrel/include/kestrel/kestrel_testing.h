// Test controls of the object database. Shipped code never calls them; with
// none set the database behaves as documented in kestrel.h.
#ifndef KESTREL_KESTREL_TESTING_H
#define KESTREL_KESTREL_TESTING_H

#include <cstdint>

#include "kestrel/kestrel.h"

namespace kestrel_testing {

// Every RegisterReportingFunction returns `result` (which must be negative)
// and registers nothing; KESTREL_S_OK restores normal registration.
KESTREL_API void SetRegistrationFailure(long result);

// Faults for the next 32 record allocations / constructions, one bit each,
// bit 0 for the next one: a set bit makes that QuarnClassSummary::operator
// new return null, or that constructor throw std::bad_alloc. Each call
// replaces the previous mask; 0 clears it.
KESTREL_API void SetAllocationFaults(std::uint32_t mask);
KESTREL_API void SetConstructionFaults(std::uint32_t mask);

// Records whose memory is allocated and not yet freed, process-wide.
KESTREL_API long LiveRecordCount();

// Copies up to nMax registered functions, in registration order, and
// returns how many are registered.
KESTREL_API int GetRegisteredFunctions(KestrelReportingFunction* pFunctions, int nMax);

}  // namespace kestrel_testing

#endif  // KESTREL_KESTREL_TESTING_H
