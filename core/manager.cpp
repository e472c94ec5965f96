// CHorolog: construction and destruction, IUnknown, ids, pausing, and the
// end of the service threads.
#include "core/manager.h"

#include "absolute/absolute_timers.h"
#include "core/testing.h"
#include "scheduler/scheduler.h"

#include <cstdint>
#include <ctime>
#include <new>
#include <random>

namespace {

// How long the last Release waits for a service thread to end. A scheduler
// thread that is still inside a client's callback then is left to destroy
// the manager itself when it gets out.
const DWORD kThreadEndTimeoutMs = 5000;

std::mutex g_mtxIds;
std::minstd_rand g_idGenerator;

void SeedTimerIds(unsigned seed) {
    std::lock_guard<std::mutex> guard(g_mtxIds);
    g_idGenerator.seed(seed);
}

// An out pointer that can receive a T: writable memory, aligned for T.
// Anything else is refused with E_POINTER before it is written, as a null
// pointer is; writing through it would fault, or be undefined.
template <typename T>
bool IsOutPointer(T* p) {
    return p != nullptr && reinterpret_cast<uintptr_t>(p) % alignof(T) == 0 &&
           AfxIsValidAddress(p, sizeof(T), TRUE);
}

bool OnThread(const CWinThread* pThread) {
    return pThread && pThread->m_nThreadID == GetCurrentThreadId();
}

}  // namespace

IHorolog* g_pHorolog = nullptr;

CCriticalSection& HorologAccessLock() {
    static CCriticalSection cs;
    return cs;
}

std::atomic<UINT> CHorolog::m_uiObjectCount{0};
std::atomic<UINT> CHorolog::m_uiRefCount{0};
std::atomic<UINT> CHorolog::m_uiTimersCount{0};
std::atomic<UINT> CHorolog::m_uiAbsTimersCount{0};
std::atomic<UINT> CHorolog::m_uiThreadCount{0};

UINT DrawTimerIdPart() {
    if (horolog::testing::DrawSource source = horolog::ActiveDrawSource())
        return source() & 0x7FFFu;
    std::lock_guard<std::mutex> guard(g_mtxIds);
    std::uniform_int_distribution<UINT> part(0, 32767);
    return part(g_idGenerator);
}

CHorolog::CHorolog(IUnknown* pUnkOuter)
    : m_pUnkOuter(pUnkOuter),
      m_cRef(0),
      m_pTimerThread(nullptr),
      m_pAbsTimersThread(nullptr),
      m_bRunning(TRUE),
      m_bInCallback(FALSE),
      m_pTimerList(nullptr),
      m_pAbsTimerMap(nullptr),
      m_mapAbsTimerThreads(10),
      m_dwLastTick(0),
      m_bTickInitialized(FALSE),
      m_hTimerEvent(horolog::FaultInjected(horolog::kFaultTimerEvent)
                        ? nullptr
                        : CreateEventA(nullptr, FALSE, FALSE, nullptr)),
      m_hCallbackEnded(horolog::FaultInjected(horolog::kFaultCallbackEvent)
                           ? nullptr
                           : CreateEventA(nullptr, TRUE, TRUE, nullptr)),
      m_bEnding(FALSE),
      m_cLifeHolds(1),
      m_bSchedulerHold(false) {
    SeedTimerIds(static_cast<unsigned>(std::time(nullptr)));
    ++m_uiObjectCount;
}

CHorolog::~CHorolog() {
    if (m_hTimerEvent) CloseHandle(m_hTimerEvent);
    if (m_hCallbackEnded) CloseHandle(m_hCallbackEnded);

    if (m_pTimerThread) {
        if (OnThread(m_pTimerThread)) {
            // Destroyed by the scheduler thread itself on its way out: the
            // framework frees the thread object once the procedure returns.
            m_pTimerThread->m_bAutoDelete = TRUE;
        } else if (m_pTimerThread->WaitForEnd(kThreadEndTimeoutMs)) {
            delete m_pTimerThread;
        }
        // Otherwise the thread has let go of the manager but not yet ended;
        // its object is left to it rather than freed under its feet.
    }
    if (m_pAbsTimersThread) {
        if (OnThread(m_pAbsTimersThread)) {
            // Destroyed from the thread's exit hook: the framework frees the
            // object once the hook has returned.
            m_pAbsTimersThread->m_bAutoDelete = TRUE;
        } else if (m_pAbsTimersThread->WaitForEnd(kThreadEndTimeoutMs)) {
            delete m_pAbsTimersThread;
        }
        // Otherwise, as above, the object is left to its thread, which has
        // let go of the manager already.
    }

    // The queue and the maps go with the manager; the records in them are
    // the clients'. The counters stay equal to what is registered anywhere.
    if (m_pTimerList) {
        m_uiTimersCount -= static_cast<UINT>(m_pTimerList->GetCount());
        delete m_pTimerList;
    }
    if (m_pAbsTimerMap) {
        m_uiAbsTimersCount -= static_cast<UINT>(m_pAbsTimerMap->GetCount());
        delete m_pAbsTimerMap;
    }
    m_uiThreadCount -= static_cast<UINT>(m_mapAbsTimerThreads.GetCount());

    // Last: while it is counted, the module reports that it cannot be
    // unloaded, and this destructor is still running the module's code.
    --m_uiObjectCount;
}

HRESULT STDMETHODCALLTYPE CHorolog::QueryInterface(REFIID riid, void** ppvObject) {
    if (!IsOutPointer(ppvObject)) return E_POINTER;
    *ppvObject = nullptr;
    // An interface id that cannot be read names no interface.
    if (!AfxIsValidAddress(&riid, sizeof(IID), FALSE)) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IHorolog)) {
        *ppvObject = static_cast<IHorolog*>(this);
        static_cast<IHorolog*>(this)->AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CHorolog::AddRef() {
    ++m_uiRefCount;
    return ++m_cRef;
}

ULONG STDMETHODCALLTYPE CHorolog::Release() {
    ULONG cRef;
    {
        CCriticalSection& cs = HorologAccessLock();
        cs.Lock();
        --m_uiRefCount;
        cRef = --m_cRef;
        if (cRef == 0 && g_pHorolog == static_cast<IHorolog*>(this)) g_pHorolog = nullptr;
        cs.Unlock();
    }
    if (cRef != 0) return cRef;
    Shutdown();
    return 0;
}

// Ends the service threads and gives back the COM side's hold on the
// manager. Each thread that is joined here has given back its own hold by
// then; a thread that cannot be joined (the caller is inside one of its
// callbacks, or a callback outlasts the join) gives its hold back when it
// leaves, and the last hold to go destroys the manager. Once m_bEnding is
// set no thread starts a callback of this manager.
void CHorolog::Shutdown() {
    m_bEnding = TRUE;
    CWinThread* pTimerThread;
    CWinThread* pAbsThread;
    GetServiceThreads(&pTimerThread, &pAbsThread);

    if (pAbsThread) {
        pAbsThread->RequestEnd();
        if (!OnThread(pAbsThread) && pAbsThread->WaitForEnd(kThreadEndTimeoutMs)) {
            // A thread that ended without its exit hook (an exception) did
            // not give its hold back; the COM hold still keeps the count up.
            if (static_cast<CAbsoluteTimers*>(pAbsThread)->m_bHoldsManager.exchange(false))
                --m_cLifeHolds;
        }
    }

    if (pTimerThread) {
        pTimerThread->RequestEnd();
        SetEvent(m_hTimerEvent);
        if (SchedulerOfCurrentThread() != this && pTimerThread->WaitForEnd(kThreadEndTimeoutMs) &&
            m_bSchedulerHold.exchange(false))
            --m_cLifeHolds;  // ended before its loop ran
    }

    DropLifeHold();
}

void CHorolog::GetServiceThreads(CWinThread** ppTimerThread, CWinThread** ppAbsThread) {
    std::lock_guard<std::mutex> guard(m_mtxThreads);
    *ppTimerThread = m_pTimerThread;
    *ppAbsThread = m_pAbsTimersThread;
}

void CHorolog::SchedulerThreadLeft() {
    if (m_bSchedulerHold.exchange(false)) DropLifeHold();
}

void CHorolog::AbsoluteThreadLeft() { DropLifeHold(); }

void CHorolog::DropLifeHold() {
    if (--m_cLifeHolds == 0) delete this;
}

HRESULT STDMETHODCALLTYPE CHorolog::GetTimerId(DWORD* pdwTimerId) {
    if (!IsOutPointer(pdwTimerId)) return E_POINTER;
    // Never 0, never an id that is queued or registered as an absolute
    // timer: a start with such an id would be refused or would replace
    // another client's timer.
    DWORD id;
    Lock();
    for (;;) {
        id = static_cast<DWORD>(DrawTimerIdPart()) * static_cast<DWORD>(DrawTimerIdPart());
        if (id == 0 || IsTimerInList(id)) continue;
        TIMERPARAMETERS* pAbs;
        if (m_pAbsTimerMap && m_pAbsTimerMap->Lookup(id, pAbs)) continue;
        break;
    }
    Unlock();
    *pdwTimerId = id;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CHorolog::ReservedMethod(DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                                                   DWORD, DWORD, DWORD, DWORD, DWORD, DWORD) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CHorolog::PauseTimers() {
    Lock();
    m_bRunning = FALSE;
    BOOL bInCallback = m_bInCallback;
    Unlock();

    // Wait for a relative callback in progress, pumping this thread's
    // messages meanwhile. No new callback starts once m_bRunning is clear.
    // The scheduler thread itself (a callback pausing) does not wait for
    // its own callback.
    if (bInCallback && SchedulerOfCurrentThread() != this) {
        bool bQuit = false;
        int nQuitCode = 0;
        while (m_bInCallback) {
            DWORD r = MsgWaitForMultipleObjectsEx(1, &m_hCallbackEnded, INFINITE, QS_ALLPOSTMESSAGE,
                                                  MWMO_INPUTAVAILABLE);
            if (r == WAIT_OBJECT_0 + 1) {
                MSG msg;
                while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                    if (msg.message == WM_QUIT) {
                        // Kept for the caller's own loop.
                        bQuit = true;
                        nQuitCode = static_cast<int>(msg.wParam);
                        continue;
                    }
                    TranslateMessage(&msg);
                    DispatchMessageA(&msg);
                }
            } else if (r == WAIT_FAILED) {
                break;
            }
        }
        if (bQuit) PostQuitMessage(nQuitCode);
    }

    CWinThread* pTimerThread;
    CWinThread* pAbsThread;
    GetServiceThreads(&pTimerThread, &pAbsThread);
    // Suspension is cooperative: each thread comes to rest outside the lock
    // and outside any callback.
    if (pTimerThread) pTimerThread->SuspendThread();
    if (pAbsThread) pAbsThread->SuspendThread();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CHorolog::ResumeTimers() {
    m_bRunning = TRUE;
    CWinThread* pTimerThread;
    CWinThread* pAbsThread;
    GetServiceThreads(&pTimerThread, &pAbsThread);
    if (pTimerThread) pTimerThread->ResumeThread();
    if (pAbsThread) pAbsThread->ResumeThread();
    SetEvent(m_hTimerEvent);
    return S_OK;
}
