// Test controls of the absolute-timer side. Shipped code never sets them;
// with none set the expiry check reads the time library's clock and the
// absolute side fails only when the system does.
#ifndef HOROLOG_ABSOLUTE_TESTING_H
#define HOROLOG_ABSOLUTE_TESTING_H

#include "horolog/horolog.h"

#include "chron/chron.h"

namespace horolog {

// The current time as the expiry check sees it.
Chron AbsoluteNow();

// What the absolute-timer side does with a record, for tests that must know
// when a step has happened. The record is passed as an address only: it may
// already be released by its client, and is never to be read.
enum class AbsoluteEvent {
    kRegistered,      // the absolute-timer thread registered it and forwarded it
    kStartIgnored,    // a start message for a record no longer registered
    kArmed,           // its waitable timer is set, under the name "Timer<id>"
    kArmedUnnamed,    // set, as an unnamed timer: the name was taken
    kArmSkipped,      // not armed: already armed, or no longer registered
    kArmFailed,       // creating or setting the waitable timer failed
    kForwardRefused,  // registered, but the pump thread did not take it: never armed
    kDuePostRefused,  // the completion routine's due message was refused
    kSignalled,       // the completion routine posted a due message
    kEarly,           // a due message found the due time still ahead
    kStale,           // a due message for a record no longer registered
    kNotified,        // ended, and its site's OnTimer has returned
    kEndedSilently,   // ended without a call (too late, or no site)
    kPumpLeft,        // the pump thread has left its loop (record: null)
};
void NotifyAbsoluteObserver(AbsoluteEvent event, const TIMERPARAMETERS* pTimer);

// Failures that tests can force on the absolute side, as a bit mask.
enum AbsoluteFault : unsigned {
    kFaultPumpThread = 1u << 0,           // the pump thread cannot be started
    kFaultSetWaitableTimer = 1u << 1,     // SetWaitableTimer fails
    kFaultCreateWaitableTimer = 1u << 2,  // CreateWaitableTimerA fails
    kFaultThreadMapEntry = 1u << 3,       // no entry of the manager's thread map can be allocated
    kFaultForwardPost = 1u << 4,          // the forward of a record to the pump thread is refused
    kFaultDuePost = 1u << 5,              // the next due message is refused; clears itself
};
bool AbsoluteFaultInjected(AbsoluteFault fault);
// For a fault that hits once: TRUE when it was set, and clears it.
bool ConsumeAbsoluteFault(AbsoluteFault fault);

namespace testing {

// Replaces the expiry check's clock; the function returns the current time
// as a UTC FILETIME. nullptr restores the time library's clock.
typedef FILETIME (*AbsoluteClock)();
void SetAbsoluteClock(AbsoluteClock clock);

// Called on the library's threads, possibly with its locks held: it must
// not call into the library.
typedef void (*AbsoluteObserver)(AbsoluteEvent event, const TIMERPARAMETERS* pTimer);
void SetAbsoluteObserver(AbsoluteObserver observer);

void SetAbsoluteFaults(unsigned faultMask);

}  // namespace testing
}  // namespace horolog

#endif  // HOROLOG_ABSOLUTE_TESTING_H
