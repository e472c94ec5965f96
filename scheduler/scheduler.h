// The scheduler thread of the relative timers: it waits on the manager's
// event until the head of the queue is due, deducts the time that really
// passed from every queued record, and notifies the due records' sites.
#ifndef HOROLOG_SCHEDULER_SCHEDULER_H
#define HOROLOG_SCHEDULER_SCHEDULER_H

#include "winplat/winapi.h"

class CHorolog;

// The thread procedure; its parameter is the manager. Returns 0 for a null
// parameter, 1 when the loop has ended (the manager is going away).
UINT TimerThreadProc(LPVOID pParam);

// One wait of at most dwMilliseconds (INFINITE: no limit) on the manager's
// event, followed by the deduction of the elapsed time. A wait time of 0
// only yields the processor and returns WAIT_TIMEOUT. WAIT_ABANDONED tells
// the loop to end.
DWORD WaitForTimers(DWORD dwMilliseconds, CHorolog* pHorolog);

// Notifies every due record at the head of the queue, re-queuing the
// repeating ones. Takes the manager's lock, and releases it around each
// OnTimer call.
void HandleTimeOut(CHorolog* pHorolog);

// The manager whose scheduler thread the calling thread is, or null.
CHorolog* SchedulerOfCurrentThread();

#endif  // HOROLOG_SCHEDULER_SCHEDULER_H
