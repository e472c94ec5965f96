// CAbsoluteTimers: the absolute-timer thread, the pump thread, the arming of
// the waitable timers and the expiry check.
#include "absolute/absolute_timers.h"

#include "absolute/testing.h"
#include "chron/chron.h"
#include "core/manager.h"
#include "core/messages.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

// Sites are COM objects that a client may have implemented in any language:
// they carry no C++ type information, so calls on them are exempt from the
// sanitizer's dynamic type check.
#if defined(__clang__) || (defined(__GNUC__) && __GNUC__ >= 8)
#define HOROLOG_CALLS_FOREIGN_OBJECTS __attribute__((no_sanitize("vptr")))
#else
#define HOROLOG_CALLS_FOREIGN_OBJECTS
#endif

std::atomic<CAbsoluteTimers*> g_pAbsoluteTimers{nullptr};

namespace {

// How long the pump thread may take to start waiting, and to end. It never
// runs client code and waits only for m_csAbsolute, which the thread that
// ends it does not hold, so both are a matter of a few system calls.
const DWORD kPumpStartTimeoutMs = 10000;
const DWORD kPumpEndTimeoutMs = 10000;

// A waitable timer signals at its due time and then once a period, until the
// expiry check ends it.
const LONG kTimerPeriodMs = 1000;

// The CAbsoluteTimers object whose pump thread the calling thread is. The
// completion routine receives only the record; this is how it finds the
// thread to report to, also while several objects exist.
thread_local CAbsoluteTimers* t_pPumpOwner = nullptr;

// Whether the record is a key of the manager's thread map: registered by the
// absolute-timer thread and not yet stopped, replaced or expired. Only the
// address is compared, so the record is not read. Manager's lock held.
bool IsRegistered(CHorolog* pHorolog, TIMERPARAMETERS* pTimer) {
    CWinThread* pThread = nullptr;
    return pHorolog->m_mapAbsTimerThreads.Lookup(pTimer, pThread) != FALSE;
}

// Whether the record is the entry of some id in the manager's absolute map,
// found by its address alone. Manager's lock held.
bool IsInAbsoluteMap(CHorolog* pHorolog, TIMERPARAMETERS* pTimer) {
    if (!pHorolog->m_pAbsTimerMap) return false;
    POSITION pos = pHorolog->m_pAbsTimerMap->GetStartPosition();
    while (pos) {
        DWORD dwTimerId;
        TIMERPARAMETERS* pEntry;
        pHorolog->m_pAbsTimerMap->GetNextAssoc(pos, dwTimerId, pEntry);
        if (pEntry == pTimer) return true;
    }
    return false;
}

void EndWaitableTimer(HANDLE hTimer) {
    if (!hTimer) return;
    CancelWaitableTimer(hTimer);
    CloseHandle(hTimer);
}

}  // namespace

IMPLEMENT_DYNCREATE(CAbsoluteTimers, CWinThread)

BEGIN_MESSAGE_MAP(CAbsoluteTimers, CWinThread)
ON_THREAD_MESSAGE(WM_ATTACHMANAGER, OnAttachManager)
ON_THREAD_MESSAGE(WM_STARTABSOLUTETIMER, OnStartAbsoluteTimer)
ON_THREAD_MESSAGE(WM_ABSOLUTETIMERDUE, OnAbsoluteTimerDue)
END_MESSAGE_MAP()

CAbsoluteTimers::CAbsoluteTimers()
    : m_pHorolog(nullptr),
      m_pPumpThread(nullptr),
      m_bHoldsManager(false),
      m_eStartup(Startup::kPending),
      m_bPumpReady(false),
      m_bPumpLeft(false),
      m_bExited(false) {}

CAbsoluteTimers::~CAbsoluteTimers() {
    // A thread that ended without its exit hook (an exception in a handler)
    // still leaves no pump thread and no armed timer behind.
    if (!m_bExited) {
        EndPumpThread();
        DisarmAll();
    }
    ClearGlobal();
}

// g_pAbsoluteTimers names this object only while its thread serves timers.
void CAbsoluteTimers::ClearGlobal() {
    CAbsoluteTimers* pSelf = this;
    g_pAbsoluteTimers.compare_exchange_strong(pSelf, nullptr);
}

BOOL CAbsoluteTimers::InitInstance() {
    g_pAbsoluteTimers.store(this);

    // Created suspended so that this object owns the thread object before
    // the thread runs: ExitInstance joins and frees it.
    CWinThread* pPump = nullptr;
    if (!horolog::AbsoluteFaultInjected(horolog::kFaultPumpThread))
        pPump = AfxBeginThread(PumpThreadProc, this, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED,
                               nullptr);
    if (pPump) {
        pPump->m_bAutoDelete = FALSE;
        m_pPumpThread = pPump;
        pPump->ResumeThread();
        // Nothing is forwarded before the pump thread waits for it.
        if (!WaitForPump(kPumpStartTimeoutMs)) EndPumpThread();
    }
    if (!m_pPumpThread) {
        TRACE0("CAbsoluteTimers::InitInstance: Could not start the pump thread.\n");
        SetStartup(Startup::kFailed);
        return FALSE;
    }
    SetStartup(Startup::kRunning);
    return TRUE;
}

int CAbsoluteTimers::ExitInstance() {
    // The pump thread first: once it has ended, no timer is armed and no
    // completion routine runs any more, so the handles can all be closed.
    const bool bPumpEnded = EndPumpThread();
    DisarmAll();
    m_bExited = true;
    SetStartup(Startup::kFailed);  // no effect once running
    ClearGlobal();
    // The last use of the manager: it may be destroyed right here, when its
    // last reference went while this thread could not be joined. A pump
    // thread that did not end may still look at the manager, which is then
    // kept rather than freed under it.
    if (bPumpEnded) {
        CHorolog* pHorolog = m_pHorolog;
        m_pHorolog = nullptr;
        if (pHorolog && m_bHoldsManager.exchange(false)) pHorolog->AbsoluteThreadLeft();
    }
    return CWinThread::ExitInstance();
}

BOOL CAbsoluteTimers::WaitForStartup(DWORD dwMilliseconds) {
    std::unique_lock<std::mutex> lock(m_mtxState);
    m_stateChanged.wait_for(lock, std::chrono::milliseconds(dwMilliseconds),
                            [this] { return m_eStartup != Startup::kPending; });
    return m_eStartup == Startup::kRunning ? TRUE : FALSE;
}

void CAbsoluteTimers::SetStartup(Startup state) {
    std::lock_guard<std::mutex> lock(m_mtxState);
    if (m_eStartup == Startup::kPending) m_eStartup = state;
    m_stateChanged.notify_all();
}

void CAbsoluteTimers::SetPumpReady() {
    std::lock_guard<std::mutex> lock(m_mtxState);
    m_bPumpReady = true;
    m_stateChanged.notify_all();
}

bool CAbsoluteTimers::WaitForPump(DWORD dwMilliseconds) {
    std::unique_lock<std::mutex> lock(m_mtxState);
    m_stateChanged.wait_for(lock, std::chrono::milliseconds(dwMilliseconds),
                            [this] { return m_bPumpReady || m_bPumpLeft; });
    return m_bPumpReady && !m_bPumpLeft;
}

bool CAbsoluteTimers::EndPumpThread() {
    CWinThread* pPump = m_pPumpThread;
    if (!pPump) return true;
    m_pPumpThread = nullptr;
    pPump->RequestEnd();
    if (pPump->WaitForEnd(kPumpEndTimeoutMs)) {
        delete pPump;
        return true;
    } else {
        // Not expected (see kPumpEndTimeoutMs); the object is left to the
        // thread rather than freed under it.
        TRACE0("CAbsoluteTimers: The pump thread did not end.\n");
        pPump->m_bAutoDelete = TRUE;
        return false;
    }
}

// Cancels and closes the waitable timer of every record still registered.
// The records stay registered (they are the clients' until stopped), but no
// longer armed.
void CAbsoluteTimers::DisarmAll() {
    CHorolog* pHorolog = m_pHorolog;
    if (!pHorolog) return;
    std::vector<HANDLE> handles;
    {
        afx::ScopedLock absoluteLock(m_csAbsolute);
        afx::ScopedLock timersLock(pHorolog->m_csTimers);
        POSITION pos = pHorolog->m_mapAbsTimerThreads.GetStartPosition();
        while (pos) {
            TIMERPARAMETERS* pTimer;
            CWinThread* pThread;
            pHorolog->m_mapAbsTimerThreads.GetNextAssoc(pos, pTimer, pThread);
            if (pTimer->hWaitableTimer) {
                handles.push_back(pTimer->hWaitableTimer);
                pTimer->hWaitableTimer = nullptr;
            }
        }
    }
    for (HANDLE hTimer : handles) EndWaitableTimer(hTimer);
}

void CAbsoluteTimers::OnAttachManager(WPARAM, LPARAM lParam) {
    m_pHorolog = reinterpret_cast<CHorolog*>(lParam);
}

void CAbsoluteTimers::OnStartAbsoluteTimer(WPARAM, LPARAM lParam) {
    TIMERPARAMETERS* pTimer = reinterpret_cast<TIMERPARAMETERS*>(lParam);
    CHorolog* pHorolog = m_pHorolog;
    if (!pHorolog || !pTimer) return;

    // Registered before it is forwarded, so that the pump thread finds it
    // registered. A timer stopped before this message arrived is not in the
    // absolute map, and is not even read: its client may have released it.
    bool bRegistered = false;
    pHorolog->Lock();
    if (IsRegistered(pHorolog, pTimer)) {
        bRegistered = true;  // started again while registered: one entry
    } else if (IsInAbsoluteMap(pHorolog, pTimer)) {
        CWinThread* pNone = nullptr;
        if (!horolog::AbsoluteFaultInjected(horolog::kFaultThreadMapEntry) &&
            pHorolog->m_mapAbsTimerThreads.SetAt(pTimer, pNone)) {
            ++CHorolog::m_uiThreadCount;
            bRegistered = true;
        }
    }
    pHorolog->Unlock();

    if (!bRegistered) {
        horolog::NotifyAbsoluteObserver(horolog::AbsoluteEvent::kStartIgnored, pTimer);
        return;
    }
    horolog::NotifyAbsoluteObserver(horolog::AbsoluteEvent::kRegistered, pTimer);
    // A refused forward leaves the timer registered and never armed, until
    // it is stopped; the pump thread takes messages until this thread ends.
    if (!m_pPumpThread || horolog::AbsoluteFaultInjected(horolog::kFaultForwardPost) ||
        !m_pPumpThread->PostThreadMessage(WM_STARTABSOLUTETIMER, 0, lParam))
        horolog::NotifyAbsoluteObserver(horolog::AbsoluteEvent::kForwardRefused, pTimer);
}

HOROLOG_CALLS_FOREIGN_OBJECTS void CAbsoluteTimers::OnAbsoluteTimerDue(WPARAM, LPARAM lParam) {
    TIMERPARAMETERS* pTimer = reinterpret_cast<TIMERPARAMETERS*>(lParam);
    CHorolog* pHorolog = m_pHorolog;
    if (!pHorolog || !pTimer) return;

    afx::ScopedLock absoluteLock(m_csAbsolute);
    pHorolog->Lock();

    // The registration is checked first, by the record's address: a message
    // for a record that was stopped, replaced or has expired must not touch
    // it. Only then are its fields read, and the entry of its id must be
    // this very record, so that a message for an older record never ends a
    // newer one with the same id.
    TIMERPARAMETERS* pEntry = nullptr;
    if (pHorolog->m_bEnding || !IsRegistered(pHorolog, pTimer) || !pHorolog->m_pAbsTimerMap ||
        !pHorolog->m_pAbsTimerMap->Lookup(pTimer->dwTimerId, pEntry) || pEntry != pTimer) {
        pHorolog->Unlock();
        horolog::NotifyAbsoluteObserver(horolog::AbsoluteEvent::kStale, pTimer);
        return;
    }

    const Chron due(pTimer->ftDueTime, Chron::kUtc, -1);
    const Chron now = horolog::AbsoluteNow();
    const ChronSpan tolerance(0, 0, 5, 0, 0);
    const Chron latest = now + tolerance;
    const Chron earliest = now - tolerance;

    if (now < due) {
        // Early: the waitable timer signals again one period later.
        pHorolog->Unlock();
        horolog::NotifyAbsoluteObserver(horolog::AbsoluteEvent::kEarly, pTimer);
        return;
    }

    // Due: the timer ends with its registration, and the record goes back to
    // its client. What the notification needs is read before.
    const HANDLE hTimer = pTimer->hWaitableTimer;
    pTimer->hWaitableTimer = nullptr;
    const DWORD dwTimerId = pTimer->dwTimerId;
    ITimerSite* const pSite = pTimer->pSite;
    pHorolog->m_mapAbsTimerThreads.RemoveKey(pTimer);
    pHorolog->m_pAbsTimerMap->RemoveKey(dwTimerId);
    --CHorolog::m_uiAbsTimersCount;
    --CHorolog::m_uiThreadCount;
    pHorolog->Unlock();

    EndWaitableTimer(hTimer);

    // At most five minutes late, both bounds included.
    if (due >= earliest && due <= latest && pSite) {
        pSite->OnTimer(dwTimerId, TIMER_EVENT_EXPIRED);
        horolog::NotifyAbsoluteObserver(horolog::AbsoluteEvent::kNotified, pTimer);
    } else {
        horolog::NotifyAbsoluteObserver(horolog::AbsoluteEvent::kEndedSilently, pTimer);
    }
}

UINT CAbsoluteTimers::ArmWaitableTimer(TIMERPARAMETERS* pTimer) {
    CHorolog* pHorolog = m_pHorolog;
    if (!pHorolog || !pTimer) return 0;

    afx::ScopedLock absoluteLock(m_csAbsolute);
    afx::ScopedLock timersLock(pHorolog->m_csTimers);

    // A record stopped since it was forwarded is not touched; one that
    // already holds a timer keeps it.
    if (!IsRegistered(pHorolog, pTimer) || pTimer->hWaitableTimer) {
        horolog::NotifyAbsoluteObserver(horolog::AbsoluteEvent::kArmSkipped, pTimer);
        return 0;
    }

    // The id printed as a signed 32-bit number: 0xFFFFFFFF names "Timer-1".
    char szName[32];
    std::snprintf(szName, sizeof szName, "Timer%ld",
                  static_cast<long>(static_cast<int32_t>(pTimer->dwTimerId)));

    SetLastError(ERROR_SUCCESS);
    HANDLE hTimer = horolog::AbsoluteFaultInjected(horolog::kFaultCreateWaitableTimer)
                        ? nullptr
                        : CreateWaitableTimerA(nullptr, FALSE, szName);
    bool bUnnamed = false;
    if (hTimer && GetLastError() == ERROR_ALREADY_EXISTS) {
        // Another timer (another manager's, another process's) holds the
        // name: setting it would take that timer over. This one goes without
        // a name instead.
        CloseHandle(hTimer);
        hTimer = CreateWaitableTimerA(nullptr, FALSE, nullptr);
        bUnnamed = true;
    }
    if (!hTimer) {
        // For instance an object of another kind with that name. The timer
        // stays registered and never expires, until it is stopped.
        TRACE("CAbsoluteTimers::ArmWaitableTimer: CreateWaitableTimer failed (%lu).\n",
              static_cast<unsigned long>(GetLastError()));
        horolog::NotifyAbsoluteObserver(horolog::AbsoluteEvent::kArmFailed, pTimer);
        return 1;
    }

    // The client's due time, unchanged: an absolute UTC time in 100 ns units.
    // A FILETIME beyond the largest positive 64-bit value names no date the
    // system can keep; SetWaitableTimer would read it as a negative, that is
    // relative, due time and signal at once, and the expiry check would then
    // find it early once a period for ever. It is set to the latest time a
    // waitable timer can wait for instead: like the date, never reached.
    const ULONGLONG ullDue = (static_cast<ULONGLONG>(pTimer->ftDueTime.dwHighDateTime) << 32) |
                             pTimer->ftDueTime.dwLowDateTime;
    LARGE_INTEGER liDueTime;
    liDueTime.QuadPart =
        ullDue > static_cast<ULONGLONG>(INT64_MAX) ? INT64_MAX : static_cast<LONGLONG>(ullDue);
    if (horolog::AbsoluteFaultInjected(horolog::kFaultSetWaitableTimer) ||
        !SetWaitableTimer(hTimer, &liDueTime, kTimerPeriodMs, AbsoluteTimerApc, pTimer, TRUE)) {
        // A timer that cannot be set is of no use and is not kept.
        TRACE("CAbsoluteTimers::ArmWaitableTimer: SetWaitableTimer failed (%lu).\n",
              static_cast<unsigned long>(GetLastError()));
        CloseHandle(hTimer);
        horolog::NotifyAbsoluteObserver(horolog::AbsoluteEvent::kArmFailed, pTimer);
        return 1;
    }
    pTimer->hWaitableTimer = hTimer;
    horolog::NotifyAbsoluteObserver(
        bUnnamed ? horolog::AbsoluteEvent::kArmedUnnamed : horolog::AbsoluteEvent::kArmed, pTimer);
    return 0;
}

void CAbsoluteTimers::RunTimerPump() {
    CWinThread* pSelf = AfxGetThread();
    HANDLE hEnd = pSelf ? pSelf->GetEndEvent() : nullptr;
    bool bFirstWait = true;
    for (;;) {
        if (pSelf && pSelf->IsEndRequested()) return;
        if (bFirstWait) {
            SetPumpReady();
            bFirstWait = false;
        }
        // Ends for a posted message or the end request, or after completion
        // routines queued to this thread have run.
        MsgWaitForMultipleObjectsEx(hEnd ? 1 : 0, hEnd ? &hEnd : nullptr, INFINITE, QS_POSTMESSAGE,
                                    MWMO_ALERTABLE | MWMO_INPUTAVAILABLE);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) return;
            if (msg.message == WM_STARTABSOLUTETIMER) {
                if (msg.lParam) ArmWaitableTimer(reinterpret_cast<TIMERPARAMETERS*>(msg.lParam));
            } else {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
    }
}

UINT PumpThreadProc(LPVOID pParam) {
    CAbsoluteTimers* pOwner = static_cast<CAbsoluteTimers*>(pParam);
    if (!pOwner) return 0;
    t_pPumpOwner = pOwner;
    pOwner->RunTimerPump();
    t_pPumpOwner = nullptr;
    {
        std::lock_guard<std::mutex> lock(pOwner->m_mtxState);
        pOwner->m_bPumpLeft = true;
        pOwner->m_stateChanged.notify_all();
    }
    horolog::NotifyAbsoluteObserver(horolog::AbsoluteEvent::kPumpLeft, nullptr);
    return 0;
}

VOID CALLBACK AbsoluteTimerApc(LPVOID lpArgToCompletionRoutine, DWORD, DWORD) {
    CAbsoluteTimers* pOwner = t_pPumpOwner;
    if (!pOwner) return;
    afx::ScopedLock absoluteLock(pOwner->m_csAbsolute);
    // A refused post is made up by the next signal, one period later.
    const BOOL bPosted =
        !horolog::ConsumeAbsoluteFault(horolog::kFaultDuePost) &&
        pOwner->PostThreadMessage(WM_ABSOLUTETIMERDUE, 0,
                                  reinterpret_cast<LPARAM>(lpArgToCompletionRoutine));
    horolog::NotifyAbsoluteObserver(
        bPosted ? horolog::AbsoluteEvent::kSignalled : horolog::AbsoluteEvent::kDuePostRefused,
        static_cast<const TIMERPARAMETERS*>(lpArgToCompletionRoutine));
}
