// Test controls of the timer engine. Shipped code never sets them; with
// none set the engine reads the system tick count, draws ids from its own
// generator and fails only when the system does.
#ifndef HOROLOG_CORE_TESTING_H
#define HOROLOG_CORE_TESTING_H

#include "winplat/winapi.h"

class CHorolog;

namespace horolog {

// The millisecond tick count that the scheduler deducts elapsed time with.
DWORD SchedulerTickCount();

// The scheduler's report of what it is doing, for tests that must know when
// a turn has reached a given point.
enum class SchedulerEvent {
    kWaiting,   // about to wait; value: the wait time in ms (INFINITE: none)
    kDeducted,  // a time pass has been deducted; value: the elapsed ms
    kTurnDone,  // a dispatch pass has ended
};
void NotifySchedulerObserver(CHorolog* pHorolog, SchedulerEvent event, DWORD value);

// Failures that tests can force, as a bit mask.
enum Fault : unsigned {
    kFaultTimerList = 1u << 0,        // the relative queue cannot be allocated
    kFaultAbsTimerMap = 1u << 1,      // the absolute map cannot be allocated
    kFaultSchedulerThread = 1u << 2,  // the scheduler thread cannot be started
    kFaultAbsoluteThread = 1u << 3,   // the absolute-timer thread cannot be started
    kFaultQueueNode = 1u << 4,        // no queue node can be allocated
    kFaultAbsMapEntry = 1u << 5,      // no new entry of the absolute map can be allocated
    kFaultTimerEvent = 1u << 6,       // a new manager cannot create its scheduler event
    kFaultCallbackEvent = 1u << 7,    // a new manager cannot create its callback-ended event
    kFaultAttachPost = 1u << 8,       // the attach message cannot be posted to a new thread
    kFaultStartPost = 1u << 9,        // a start cannot be posted to the absolute-timer thread
    kFaultClassFactory = 1u << 10,    // the module cannot allocate a class factory
    kFaultManagerObject = 1u << 11,   // the module's class factory cannot allocate a manager
};
bool FaultInjected(Fault fault);

namespace testing {
typedef UINT (*DrawSource)();
}
// The draw source a test has set, or null.
testing::DrawSource ActiveDrawSource();

namespace testing {

typedef DWORD (*TickSource)();
// nullptr restores GetTickCount.
void SetTickSource(TickSource source);

// Replaces the id generator's draws (each 0..32767); nullptr restores it.
void SetDrawSource(DrawSource source);

typedef void (*SchedulerObserver)(CHorolog* pHorolog, SchedulerEvent event, DWORD value);
// Called on the scheduler thread, without the manager's lock.
void SetSchedulerObserver(SchedulerObserver observer);

void SetFaults(unsigned faultMask);

}  // namespace testing
}  // namespace horolog

#endif  // HOROLOG_CORE_TESTING_H
