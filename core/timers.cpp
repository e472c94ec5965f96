// Starting and stopping timers, and the first start of the service threads.
#include "core/manager.h"

#include "absolute/absolute_timers.h"
#include "core/messages.h"
#include "core/testing.h"
#include "scheduler/scheduler.h"

#include <cstdint>
#include <new>

namespace {

// How long a new absolute-timer thread may take to get its message queue.
const DWORD kAttachTimeoutMs = 10000;
// How long an absolute-timer thread that never attached may take to end.
const DWORD kThreadEndTimeoutMs = 5000;

}  // namespace

BOOL PostToNewThread(CWinThread* pThread, UINT message, WPARAM wParam, LPARAM lParam,
                     DWORD dwTimeoutMs) {
    const DWORD dwStart = GetTickCount();
    for (;;) {
        if (pThread->PostThreadMessage(message, wParam, lParam)) return TRUE;
        // A thread that has ended, or never gets its queue, takes no message.
        if (WaitForSingleObject(pThread->m_hThread, 0) == WAIT_OBJECT_0) return FALSE;
        if (GetTickCount() - dwStart >= dwTimeoutMs) return FALSE;
        Sleep(1);
    }
}

// Creates the relative queue and the absolute map on first use. They then
// stay for the manager's life, also when the call that made them fails
// later on.
HRESULT CHorolog::EnsureCollections() {
    Lock();
    if (!m_pTimerList && !horolog::FaultInjected(horolog::kFaultTimerList))
        m_pTimerList = new (std::nothrow) CTimerList(10);
    if (!m_pTimerList) {
        Unlock();
        TRACE0("CHorolog::StartTimer: Could not create timer list.\n");
        return E_OUTOFMEMORY;
    }
    if (!m_pAbsTimerMap && !horolog::FaultInjected(horolog::kFaultAbsTimerMap))
        m_pAbsTimerMap = new (std::nothrow) CAbsTimerMap(10);
    if (!m_pAbsTimerMap) {
        Unlock();
        TRACE0("CHorolog::StartTimer: Could not create absolute timer list.\n");
        return E_OUTOFMEMORY;
    }
    Unlock();
    return S_OK;
}

HRESULT CHorolog::EnsureSchedulerThread() {
    std::lock_guard<std::mutex> guard(m_mtxThreads);
    if (m_pTimerThread) return S_OK;

    // The scheduler needs both events; without them no timer could run.
    CWinThread* pThread = nullptr;
    if (m_hTimerEvent && m_hCallbackEnded &&
        !horolog::FaultInjected(horolog::kFaultSchedulerThread)) {
        // Created suspended so that the manager owns the thread object
        // before the thread runs: it is joined and freed by the manager.
        pThread = AfxBeginThread(TimerThreadProc, this, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED,
                                 nullptr);
    }
    if (!pThread) {
        TRACE0("CHorolog::StartTimer: Could not create timer manager thread.\n");
        return E_OUTOFMEMORY;
    }
    pThread->m_bAutoDelete = FALSE;
    m_pTimerThread = pThread;
    ++m_cLifeHolds;  // given back by the thread when it leaves its loop
    m_bSchedulerHold = true;
    pThread->ResumeThread();
    return S_OK;
}

HRESULT CHorolog::EnsureAbsoluteThread() {
    std::lock_guard<std::mutex> guard(m_mtxThreads);
    if (m_pAbsTimersThread) return S_OK;

    CWinThread* pThread = nullptr;
    if (!horolog::FaultInjected(horolog::kFaultAbsoluteThread))
        pThread = AfxBeginThread(RUNTIME_CLASS(CAbsoluteTimers), THREAD_PRIORITY_NORMAL, 0,
                                 CREATE_SUSPENDED, nullptr);
    if (pThread) {
        pThread->m_bAutoDelete = FALSE;
        pThread->ResumeThread();
        // Attached before the pointer is published: no other client can
        // post a timer to the thread before it knows its manager.
        // It serves timers only once its start-up (the pump thread) has
        // succeeded; a thread that fails there ends, and the start fails.
        if (horolog::FaultInjected(horolog::kFaultAttachPost) ||
            !PostToNewThread(pThread, WM_ATTACHMANAGER, 0, reinterpret_cast<LPARAM>(this),
                             kAttachTimeoutMs) ||
            !static_cast<CAbsoluteTimers*>(pThread)->WaitForStartup(kAttachTimeoutMs)) {
            pThread->RequestEnd();
            // A thread that never attached never touches the manager; if it
            // will not end, its object is left to it.
            if (pThread->WaitForEnd(kThreadEndTimeoutMs)) delete pThread;
            pThread = nullptr;
        }
    }
    if (!pThread) {
        TRACE0("CHorolog::StartTimer: Could not create Absolute timer thread.\n");
        return E_OUTOFMEMORY;
    }
    // The thread holds the manager from now on, and gives the hold back in
    // its exit hook, after its last use of the manager.
    ++m_cLifeHolds;
    static_cast<CAbsoluteTimers*>(pThread)->m_bHoldsManager = true;
    m_pAbsTimersThread = pThread;
    return S_OK;
}

// One record carries one timer at a time. A record that is queued, or
// registered as an absolute timer under an id other than the one it now
// carries, is in use whatever its fields say now: a second registration
// would survive the client's StopTimer and be used after the client freed
// the record. A new absolute start of an absolute record under its own id
// is not a second use: it re-arms the timer. Called with the lock held.
BOOL CHorolog::IsRecordInUse(TIMERPARAMETERS* pTimer) {
    if (m_pTimerList->Find(pTimer)) return TRUE;
    POSITION pos = m_pAbsTimerMap->GetStartPosition();
    while (pos) {
        DWORD dwId;
        TIMERPARAMETERS* pRegistered;
        m_pAbsTimerMap->GetNextAssoc(pos, dwId, pRegistered);
        if (pRegistered == pTimer &&
            (dwId != pTimer->dwTimerId || pTimer->dwTimerType != TIMERTYPE_ABSOLUTE))
            return TRUE;
    }
    return FALSE;
}

HRESULT STDMETHODCALLTYPE CHorolog::StartTimer(TIMERPARAMETERS* pTimer) {
    if (!pTimer) {
        TRACE0("CHorolog::StartTimer: No input parameters.\n");
        return E_POINTER;
    }
    // A record or context block that is not the client's writable memory is
    // refused before anything else reads or writes it, and so is a record
    // that is not aligned for its fields. The context block is never read,
    // so its alignment is the client's business.
    if (reinterpret_cast<uintptr_t>(pTimer) % alignof(TIMERPARAMETERS) != 0 ||
        !AfxIsValidAddress(pTimer, sizeof(TIMERPARAMETERS), TRUE) ||
        !AfxIsValidAddress(pTimer->pContext, TIMER_CONTEXT_SIZE, TRUE))
        return E_POINTER;

    HRESULT hr = EnsureCollections();
    if (FAILED(hr)) return hr;

    const DWORD dwTimerId = pTimer->dwTimerId;
    if (dwTimerId == 0) {
        TRACE0("CHorolog::StartTimer: No timer ID provided.\n");
        return E_TIMERIDINVALID;
    }
    pTimer->wReserved = 0;

    hr = EnsureSchedulerThread();
    if (FAILED(hr)) return hr;
    if (pTimer->dwTimerType != TIMERTYPE_RELATIVE) {
        hr = EnsureAbsoluteThread();
        if (FAILED(hr)) return hr;
    }

    // The check for a queued id and the registration happen under one hold
    // of the lock, so two starts of one id cannot both get in.
    Lock();
    if (IsTimerInList(dwTimerId)) {
        Unlock();
        TRACE0("CHorolog::StartTimer: Timer already in list.\n");
        return E_TIMERIDINVALID;
    }
    if (IsRecordInUse(pTimer)) {
        Unlock();
        TRACE0("CHorolog::StartTimer: Record already in use.\n");
        return E_TIMERIDINVALID;
    }

    if (pTimer->dwTimerType == TIMERTYPE_ABSOLUTE) {
        TIMERPARAMETERS* pReplaced = nullptr;
        const BOOL bReplaces = m_pAbsTimerMap->Lookup(dwTimerId, pReplaced);
        // The waitable timer of the registration that this start replaces
        // (another record's, or this record's own earlier start) ends with
        // it: taken out here, cancelled and closed below.
        HANDLE hReplacedTimer = nullptr;
        if (bReplaces) {
            hReplacedTimer = pReplaced->hWaitableTimer;
            pReplaced->hWaitableTimer = nullptr;
        }
        pTimer->hWaitableTimer = nullptr;
        // Only an entry for a new id needs memory.
        if ((!bReplaces && horolog::FaultInjected(horolog::kFaultAbsMapEntry)) ||
            !m_pAbsTimerMap->SetAt(dwTimerId, pTimer)) {
            // The replaced registration, if any, stays as it was.
            if (bReplaces) pReplaced->hWaitableTimer = hReplacedTimer;
            Unlock();
            TRACE0("CHorolog::StartTimer: Could not enter the timer in the absolute map.\n");
            return E_OUTOFMEMORY;
        }
        // A record that replaces another with its id takes its place: the
        // count stays the number of entries, and the replaced record is
        // stopped, so that nothing keeps pointing at it.
        if (!bReplaces) {
            ++m_uiAbsTimersCount;
        } else if (pReplaced != pTimer) {
            if (m_mapAbsTimerThreads.RemoveKey(pReplaced)) --m_uiThreadCount;
        }
        Unlock();
        if (hReplacedTimer) {
            CancelWaitableTimer(hReplacedTimer);
            CloseHandle(hReplacedTimer);
        }

        if (horolog::FaultInjected(horolog::kFaultStartPost) ||
            !m_pAbsTimersThread->PostThreadMessage(WM_STARTABSOLUTETIMER, 0,
                                                   reinterpret_cast<LPARAM>(pTimer))) {
            // Nothing may point at the record of a start that failed, unless
            // a stop or another start of the id has changed the entry
            // meanwhile.
            Lock();
            TIMERPARAMETERS* pCurrent = nullptr;
            HANDLE hTimer = nullptr;
            if (m_pAbsTimerMap->Lookup(dwTimerId, pCurrent) && pCurrent == pTimer) {
                m_pAbsTimerMap->RemoveKey(dwTimerId);
                --m_uiAbsTimersCount;
                if (m_mapAbsTimerThreads.RemoveKey(pTimer)) --m_uiThreadCount;
                hTimer = pTimer->hWaitableTimer;
                pTimer->hWaitableTimer = nullptr;
            }
            Unlock();
            if (hTimer) {
                CancelWaitableTimer(hTimer);
                CloseHandle(hTimer);
            }
            TRACE0("CHorolog::StartTimer: PostThreadMessage(WM_STARTABSOLUTETIMER) failed.\n");
            return E_TIMERFAILURE;
        }
        return S_OK;
    }

    // Relative, whatever other value dwTimerType holds.
    hr = AddTimer(pTimer);
    if (SUCCEEDED(hr)) pTimer->bJustQueued = TRUE;  // still under the lock
    Unlock();
    if (FAILED(hr)) return hr;
    SetEvent(m_hTimerEvent);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CHorolog::StopTimer(DWORD dwTimerId) {
    Lock();
    if (!m_pTimerList || !m_pAbsTimerMap) {
        Unlock();
        return S_OK;
    }

    TIMERPARAMETERS* pTimer = nullptr;
    if (m_pAbsTimerMap->Lookup(dwTimerId, pTimer)) {
        m_pAbsTimerMap->RemoveKey(dwTimerId);
        --m_uiAbsTimersCount;
        // The absolute-timer thread may not have registered it yet.
        if (m_mapAbsTimerThreads.RemoveKey(pTimer)) --m_uiThreadCount;
        // The waitable timer belongs to the registration and ends with it:
        // once this returns, nothing reads or writes the record any more.
        HANDLE hWaitableTimer = pTimer->hWaitableTimer;
        pTimer->hWaitableTimer = nullptr;
        Unlock();
        if (hWaitableTimer) {
            CancelWaitableTimer(hWaitableTimer);
            CloseHandle(hWaitableTimer);
        }
        return S_OK;
    }

    BOOL bRemoved = FALSE;
    BOOL bWasHead = FALSE;
    POSITION pos = m_pTimerList->GetHeadPosition();
    while (pos) {
        POSITION current = pos;
        if (m_pTimerList->GetNext(pos)->dwTimerId == dwTimerId) {
            bWasHead = current == m_pTimerList->GetHeadPosition();
            m_pTimerList->RemoveAt(current);
            --m_uiTimersCount;
            bRemoved = TRUE;
            break;
        }
    }
    Unlock();

    if (!bRemoved) {
        TRACE0("CHorolog::StopTimer: Could not find timer.  May have stopped already\n");
        return S_OK;
    }
    // Only a new head changes how long the scheduler has to wait.
    if (bWasHead) SetEvent(m_hTimerEvent);
    return S_OK;
}
