// CHorolog: the timer manager, the one object per process through which
// clients use the timer service.
//
// It owns the lock, the relative timer queue, the map of absolute timers,
// the map of the absolute timers that the absolute-timer thread has
// registered, the event that wakes the scheduler thread, and the two service
// threads. The records in the queue and the maps belong to the clients; the
// manager never frees one.
#ifndef HOROLOG_CORE_MANAGER_H
#define HOROLOG_CORE_MANAGER_H

#include "horolog/horolog.h"

#include "afx/afx.h"
#include "afx/afxcoll.h"

#include <atomic>
#include <mutex>

typedef CTypedPtrList<CPtrList, TIMERPARAMETERS*> CTimerList;
typedef CMap<DWORD, DWORD, TIMERPARAMETERS*, TIMERPARAMETERS*&> CAbsTimerMap;
typedef CMap<TIMERPARAMETERS*, TIMERPARAMETERS*&, CWinThread*, CWinThread*&> CAbsTimerThreadMap;

class CHorolog : public IHorolog {
  public:
    explicit CHorolog(IUnknown* pUnkOuter = nullptr);

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IHorolog
    HRESULT STDMETHODCALLTYPE GetTimerId(DWORD* pdwTimerId) override;
    HRESULT STDMETHODCALLTYPE ReservedMethod(DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                                             DWORD, DWORD, DWORD, DWORD, DWORD) override;
    HRESULT STDMETHODCALLTYPE StartTimer(TIMERPARAMETERS* pTimer) override;
    HRESULT STDMETHODCALLTYPE StopTimer(DWORD dwTimerId) override;
    HRESULT STDMETHODCALLTYPE PauseTimers() override;
    HRESULT STDMETHODCALLTYPE ResumeTimers() override;

    virtual ~CHorolog();

    // The manager's lock; re-entrant.
    void Lock() { m_csTimers.Lock(); }
    void Unlock() { m_csTimers.Unlock(); }

    // Relative queue, ordered by lRemaining at the moment of each insertion.
    // Each operation takes the lock itself and may be called with it held.
    //
    // AddTimer inserts the record behind every record whose lRemaining is not
    // greater than its own; E_OUTOFMEMORY (queue unchanged) when no node
    // could be allocated.
    HRESULT AddTimer(TIMERPARAMETERS* pTimer);
    BOOL IsTimerInList(DWORD dwTimerId);
    BOOL HasTimers();
    TIMERPARAMETERS* GetFirstTimer();
    // TRUE when the record was queued and has been removed.
    BOOL RemoveTimer(TIMERPARAMETERS* pTimer);

    // Called once by the scheduler thread when it has left its loop and will
    // not touch the manager again. Destroys the manager when its last
    // reference was already released and could not wait for the thread.
    void SchedulerThreadLeft();
    // The same for the absolute-timer thread, called from its exit hook once
    // its pump thread has ended and its waitable timers are closed.
    void AbsoluteThreadLeft();

    // ---- data; the queue, both maps and m_bInCallback are guarded by
    // m_csTimers ----
    IUnknown* m_pUnkOuter;  // stored only
    std::atomic<ULONG> m_cRef;
    CWinThread* m_pTimerThread;      // guarded by m_mtxThreads while being set
    CWinThread* m_pAbsTimersThread;  // guarded by m_mtxThreads while being set
    CCriticalSection m_csTimers;
    std::atomic<BOOL> m_bRunning;     // dispatching of relative timers enabled
    std::atomic<BOOL> m_bInCallback;  // the scheduler is inside a relative OnTimer
    CTimerList* m_pTimerList;
    CAbsTimerMap* m_pAbsTimerMap;
    CAbsTimerThreadMap m_mapAbsTimerThreads;
    DWORD m_dwLastTick;       // scheduler thread only
    BOOL m_bTickInitialized;  // scheduler thread only; FALSE until its first wait
    HANDLE m_hTimerEvent;     // auto-reset; wakes the scheduler
    HANDLE m_hCallbackEnded;  // manual-reset; set while no relative OnTimer runs

    // Process-wide counters, read by the diagnostic report.
    static std::atomic<UINT> m_uiObjectCount;     // live managers
    static std::atomic<UINT> m_uiRefCount;        // references held on managers
    static std::atomic<UINT> m_uiTimersCount;     // records in relative queues
    static std::atomic<UINT> m_uiAbsTimersCount;  // entries of absolute maps
    static std::atomic<UINT> m_uiThreadCount;     // entries of absolute thread maps

    // TRUE once the last reference is gone: the scheduler dispatches nothing
    // more and leaves its loop.
    std::atomic<BOOL> m_bEnding;

  private:
    BOOL IsRecordInUse(TIMERPARAMETERS* pTimer);
    HRESULT EnsureCollections();
    HRESULT EnsureSchedulerThread();
    HRESULT EnsureAbsoluteThread();
    void Shutdown();
    void DropLifeHold();
    // The two service threads as started so far (null where not started).
    void GetServiceThreads(CWinThread** ppTimerThread, CWinThread** ppAbsThread);

    // Serialises the first start of each service thread, so that each is
    // started once and the absolute-timer thread is attached before any
    // other client can post to it.
    std::mutex m_mtxThreads;

    // Holders of the object's memory: the COM side (until the last Release
    // has ended the threads or handed the end over to them), a running
    // scheduler thread and a running absolute-timer thread. Whoever drops
    // the last hold destroys the object; a thread that does so is the
    // thread that cannot be joined (the last Release came from inside one
    // of its callbacks, or the callback outlasted the join).
    std::atomic<LONG> m_cLifeHolds;
    // The scheduler thread's hold is still to be given back: by the thread
    // when it leaves its loop, or by Release once the thread has ended
    // without ever running its loop (ended before it got going).
    std::atomic<bool> m_bSchedulerHold;
};

// The process-wide, non-owning pointer to the one manager. Set by whoever
// creates the shared manager, cleared by that manager's last Release.
extern IHorolog* g_pHorolog;

// Guards g_pHorolog: the last Release drops the count to zero and clears the
// pointer under it, so that a caller holding it never adds a reference to a
// manager that is going away.
CCriticalSection& HorologAccessLock();

// Draws one number in 0..32767 from the process-wide id generator.
UINT DrawTimerIdPart();

// Posts a message to a thread that has just been started, repeating the
// post (1 ms apart) while the thread has no message queue yet. Gives up when
// the thread ends first or after dwTimeoutMs; FALSE then.
BOOL PostToNewThread(CWinThread* pThread, UINT message, WPARAM wParam, LPARAM lParam,
                     DWORD dwTimeoutMs);

#endif  // HOROLOG_CORE_MANAGER_H
