// The relative timer queue: records ordered by lRemaining as it was when
// each was inserted. Every operation takes the manager's lock for its whole
// duration; the lock is re-entrant, so callers may already hold it.
#include "core/manager.h"

#include "core/testing.h"

HRESULT CHorolog::AddTimer(TIMERPARAMETERS* pTimer) {
    if (horolog::FaultInjected(horolog::kFaultQueueNode)) return E_OUTOFMEMORY;
    Lock();
    if (!m_pTimerList) {
        Unlock();
        return E_OUTOFMEMORY;
    }
    // In front of the first record due strictly later, so that records with
    // equal lRemaining keep the order of their insertion.
    POSITION before = nullptr;
    POSITION pos = m_pTimerList->GetHeadPosition();
    while (pos) {
        POSITION current = pos;
        if (m_pTimerList->GetNext(pos)->lRemaining > pTimer->lRemaining) {
            before = current;
            break;
        }
    }
    POSITION inserted =
        before ? m_pTimerList->InsertBefore(before, pTimer) : m_pTimerList->AddTail(pTimer);
    if (!inserted) {
        Unlock();
        return E_OUTOFMEMORY;
    }
    ++m_uiTimersCount;
    Unlock();
    return S_OK;
}

BOOL CHorolog::IsTimerInList(DWORD dwTimerId) {
    BOOL bFound = FALSE;
    Lock();
    if (m_pTimerList) {
        POSITION pos = m_pTimerList->GetHeadPosition();
        while (pos) {
            if (m_pTimerList->GetNext(pos)->dwTimerId == dwTimerId) {
                bFound = TRUE;
                break;
            }
        }
    }
    Unlock();
    return bFound;
}

BOOL CHorolog::HasTimers() {
    Lock();
    BOOL bHas = m_pTimerList && !m_pTimerList->IsEmpty();
    Unlock();
    return bHas;
}

TIMERPARAMETERS* CHorolog::GetFirstTimer() {
    Lock();
    TIMERPARAMETERS* pHead =
        m_pTimerList && !m_pTimerList->IsEmpty() ? m_pTimerList->GetHead() : nullptr;
    Unlock();
    return pHead;
}

BOOL CHorolog::RemoveTimer(TIMERPARAMETERS* pTimer) {
    BOOL bRemoved = FALSE;
    Lock();
    if (m_pTimerList) {
        if (POSITION pos = m_pTimerList->Find(pTimer)) {
            m_pTimerList->RemoveAt(pos);
            --m_uiTimersCount;
            bRemoved = TRUE;
        }
    }
    Unlock();
    return bRemoved;
}
