// The scheduler thread of the relative timers.
//
// Each turn computes how long the head of the queue still has to run, waits
// that long on the manager's event (clients signal it whenever the head may
// have changed), deducts the time that really passed from every queued
// record, and, when the wait ran out, notifies the due records in queue
// order. The manager's lock is held while computing, deducting and
// dispatching, never while waiting and never across a site's OnTimer.
//
// Suspension (PauseTimers) is cooperative: the thread comes to rest only at
// the top of a turn and right after a wait, where it holds no lock and is in
// no callback. A pause is therefore deducted as a whole after it ends.
#include "scheduler/scheduler.h"

#include "core/manager.h"
#include "core/testing.h"

#include <climits>
#include <cstdint>

// Sites are COM objects that a client may have implemented in any language
// (a C function table, another compiler's classes): they carry no C++ type
// information, so calls on them are exempt from the sanitizer's dynamic type
// check.
#if defined(__clang__) || (defined(__GNUC__) && __GNUC__ >= 8)
#define HOROLOG_CALLS_FOREIGN_OBJECTS __attribute__((no_sanitize("vptr")))
#else
#define HOROLOG_CALLS_FOREIGN_OBJECTS
#endif

namespace {

thread_local CHorolog* t_pSchedulerOf = nullptr;

// lRemaining - elapsed, never below the smallest 32-bit value: a record
// that is long overdue stays due instead of wrapping to far in the future.
LONG Deduct(LONG lRemaining, DWORD dwElapsed) {
    const int64_t value = static_cast<int64_t>(lRemaining) - static_cast<int64_t>(dwElapsed);
    return value < INT32_MIN ? INT32_MIN : static_cast<LONG>(value);
}

// The next lRemaining of a repeating record: one interval after its last due
// time, computed wide and kept within 0..2^31-1. A record late by at least
// its interval becomes due at once; the periods missed beyond that are
// dropped.
LONG Rearm(LONG lRemaining, LONG lInterval) {
    const int64_t value = static_cast<int64_t>(lRemaining) + static_cast<int64_t>(lInterval);
    if (value < 0) return 0;
    if (value > INT32_MAX) return INT32_MAX;
    return static_cast<LONG>(value);
}

// How long to wait: without limit while paused, ending or idle; 0 for a due
// head; otherwise what the head still has to run.
DWORD ComputeWait(CHorolog* pHorolog) {
    DWORD dwWait = INFINITE;
    pHorolog->Lock();
    if (pHorolog->m_bRunning && !pHorolog->m_bEnding && pHorolog->HasTimers()) {
        const LONG lHead = pHorolog->GetFirstTimer()->lRemaining;
        dwWait = lHead < 0 ? 0 : static_cast<DWORD>(lHead);
    }
    pHorolog->Unlock();
    return dwWait;
}

// Deducts the ticks since the previous pass from every queued record, except
// that a record started since then only loses its mark and counts from now.
// On the scheduler thread, with the manager's lock held. Returns the ticks.
DWORD DeductElapsed(CHorolog* pHorolog) {
    const DWORD dwNow = horolog::SchedulerTickCount();
    if (!pHorolog->m_bTickInitialized) {
        pHorolog->m_dwLastTick = dwNow;
        pHorolog->m_bTickInitialized = TRUE;
    }
    // Unsigned difference: right across the wrap of the tick count.
    const DWORD dwElapsed = dwNow - pHorolog->m_dwLastTick;
    pHorolog->m_dwLastTick = dwNow;

    if (CTimerList* pList = pHorolog->m_pTimerList) {
        POSITION pos = pList->GetHeadPosition();
        while (pos) {
            TIMERPARAMETERS* pTimer = pList->GetNext(pos);
            if (pTimer->bJustQueued)
                pTimer->bJustQueued = FALSE;  // started since the previous pass
            else
                pTimer->lRemaining = Deduct(pTimer->lRemaining, dwElapsed);
        }
    }
    return dwElapsed;
}

}  // namespace

CHorolog* SchedulerOfCurrentThread() { return t_pSchedulerOf; }

UINT TimerThreadProc(LPVOID pParam) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    if (!pParam) return 0;
    CHorolog* pHorolog = static_cast<CHorolog*>(pParam);
    t_pSchedulerOf = pHorolog;

    const HRESULT hrCom = CoInitialize(nullptr);
    for (;;) {
        if (!AfxRestIfSuspended()) break;  // the manager is going away
        const DWORD dwWait = ComputeWait(pHorolog);
        horolog::NotifySchedulerObserver(pHorolog, horolog::SchedulerEvent::kWaiting, dwWait);
        const DWORD dwResult = WaitForTimers(dwWait, pHorolog);
        if (dwResult == WAIT_ABANDONED) break;
        if (dwResult == WAIT_TIMEOUT) HandleTimeOut(pHorolog);
    }
    if (SUCCEEDED(hrCom)) CoUninitialize();

    t_pSchedulerOf = nullptr;
    // The last use of the manager: it may be destroyed right here.
    pHorolog->SchedulerThreadLeft();
    return 1;
}

DWORD WaitForTimers(DWORD dwMilliseconds, CHorolog* pHorolog) {
    if (dwMilliseconds == 0) {
        // A due head: no wait and no deduction; the time spent now is
        // deducted after the next real wait.
        Sleep(0);
        return WAIT_TIMEOUT;
    }
    if (!pHorolog->m_bTickInitialized) {
        pHorolog->m_dwLastTick = horolog::SchedulerTickCount();
        pHorolog->m_bTickInitialized = TRUE;
    }

    const DWORD dwResult = WaitForSingleObject(pHorolog->m_hTimerEvent, dwMilliseconds);

    // A pause that began during the wait holds the thread here, before the
    // deduction, so that the whole pause is deducted once it ends.
    if (!AfxRestIfSuspended()) return WAIT_ABANDONED;

    // The tick is read under the lock, so that every record that carries
    // bJustQueued was queued before it and counts from it. Read before the
    // lock, a record started while this thread waited for the lock would
    // count from a moment before its start and expire early.
    pHorolog->Lock();
    const DWORD dwElapsed = DeductElapsed(pHorolog);
    pHorolog->Unlock();
    horolog::NotifySchedulerObserver(pHorolog, horolog::SchedulerEvent::kDeducted, dwElapsed);
    return dwResult;
}

HOROLOG_CALLS_FOREIGN_OBJECTS void HandleTimeOut(CHorolog* pHorolog) {
    pHorolog->Lock();
    while (pHorolog->HasTimers()) {
        TIMERPARAMETERS* pTimer = pHorolog->GetFirstTimer();
        if (pTimer->lRemaining > 0) break;

        ITimerSite* pSite = pTimer->pSite;
        const DWORD dwTimerId = pTimer->dwTimerId;
        if (!pSite) {
            pHorolog->RemoveTimer(pTimer);
            continue;
        }
        // Paused, or the manager is going away: the record stays due.
        if (!pHorolog->m_bRunning || pHorolog->m_bEnding) break;

        pSite->AddRef();
        ResetEvent(pHorolog->m_hCallbackEnded);
        pHorolog->m_bInCallback = TRUE;
        pHorolog->Unlock();

        pSite->OnTimer(dwTimerId, TIMER_EVENT_EXPIRED);

        pHorolog->Lock();
        pHorolog->m_bInCallback = FALSE;
        SetEvent(pHorolog->m_hCallbackEnded);
        const ULONG cSiteRefs = pSite->Release();

        // The record stayed queued during the call unless the site stopped
        // it; only then, and only while the site lives, does a repeating
        // record go back in. Its fields are read now, after the call, so
        // that changes the site made take effect.
        if (pHorolog->RemoveTimer(pTimer) && cSiteRefs != 0 && pTimer->bRepeat) {
            pTimer->lRemaining = Rearm(pTimer->lRemaining, pTimer->lInterval);
            if (FAILED(pHorolog->AddTimer(pTimer))) {
                TRACE0("HandleTimeOut: Could not queue repeating timer again.\n");
            } else if (pTimer->lRemaining == 0) {
                // Due again at once (an interval of 0 or less, or late by
                // at least its interval), so this pass goes on without a
                // wait. The time it takes is deducted now: a record that
                // repeats at once, call after call, would otherwise keep
                // every other record from ever coming due.
                DeductElapsed(pHorolog);
            }
        }
    }
    pHorolog->Unlock();
    horolog::NotifySchedulerObserver(pHorolog, horolog::SchedulerEvent::kTurnDone, 0);
}
