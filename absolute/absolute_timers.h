// CAbsoluteTimers: the thread that serves absolute timers, and its pump
// thread.
//
// The absolute-timer thread is a message-loop thread. It takes the manager's
// attach message, registers every absolute timer it is handed in the
// manager's thread map and forwards it to the pump thread, and runs the
// expiry check whenever a waitable timer reports. The pump thread arms each
// record as a waitable timer (period one second) and waits alertably, so
// that the timers' completion routines run on it; each completion routine
// posts a due message back to the absolute-timer thread.
//
// Ownership of the waitable timers. A record's hWaitableTimer is written
// only under the manager's lock m_csTimers, and only while the record is
// registered (the entry of its id in m_pAbsTimerMap and a key of
// m_mapAbsTimerThreads). An armed record is always a key of
// m_mapAbsTimerThreads, and its handle belongs to that registration:
// whoever ends the registration (StopTimer, a new start of the id, the
// expiry check, the end of the thread) takes the handle out of the record in
// the same hold of m_csTimers and then cancels and closes it, exactly once.
// Arming happens only for a record that is still registered, under the same
// lock. Once a record is no longer registered, nothing here reads or writes
// it: messages that still carry its address are recognised as stale by a
// look-up of the address alone.
//
// Locks: m_csAbsolute is taken before m_csTimers wherever both are held.
// m_csAbsolute is held by the arming, the completion routine's post and the
// expiry check, also across the client's OnTimer; m_csTimers never across a
// call to a client.
#ifndef HOROLOG_ABSOLUTE_ABSOLUTE_TIMERS_H
#define HOROLOG_ABSOLUTE_ABSOLUTE_TIMERS_H

#include "afx/afx.h"
#include "horolog/horolog.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

class CHorolog;

class CAbsoluteTimers : public CWinThread {
    DECLARE_DYNCREATE(CAbsoluteTimers)

  public:
    CAbsoluteTimers();
    ~CAbsoluteTimers() override;

    // Starts the pump thread and returns once it waits for work; FALSE (the
    // thread then ends) when it cannot be started.
    BOOL InitInstance() override;
    // Ends the pump thread, then cancels and closes the waitable timers that
    // are still armed, then lets go of the manager (which may destroy it).
    int ExitInstance() override;

    // Waits until InitInstance has run, at most dwMilliseconds. TRUE when
    // the thread is serving timers; FALSE when it failed to start, ended
    // before, or the time ran out. Called by the thread's starter.
    BOOL WaitForStartup(DWORD dwMilliseconds);

    // The manager served; set by WM_ATTACHMANAGER, used on this thread only
    // (and by ExitInstance, on this thread too).
    CHorolog* m_pHorolog;
    // The absolute-timer lock.
    CCriticalSection m_csAbsolute;
    // The pump thread; owned, joined and freed by ExitInstance.
    CWinThread* m_pPumpThread;
    // Set by the manager when it publishes this thread: the thread then
    // holds the manager alive and gives the hold back at the end of
    // ExitInstance (see CHorolog::AbsoluteThreadLeft).
    std::atomic<bool> m_bHoldsManager;

    // The pump thread's loop; returns when the pump thread is asked to end.
    void RunTimerPump();
    // Creates and sets the record's waitable timer. 0 when the record was
    // armed, already held a timer or is no longer registered (then it is not
    // touched); 1 when creating or setting the timer failed.
    UINT ArmWaitableTimer(TIMERPARAMETERS* pTimer);

  protected:
    void OnAttachManager(WPARAM wParam, LPARAM lParam);
    void OnStartAbsoluteTimer(WPARAM wParam, LPARAM lParam);
    void OnAbsoluteTimerDue(WPARAM wParam, LPARAM lParam);

    DECLARE_MESSAGE_MAP()

  private:
    enum class Startup { kPending, kRunning, kFailed };
    void SetStartup(Startup state);
    void SetPumpReady();
    bool WaitForPump(DWORD dwMilliseconds);
    // FALSE when the pump thread did not end in time.
    bool EndPumpThread();
    void DisarmAll();
    void ClearGlobal();

    friend UINT PumpThreadProc(LPVOID pParam);

    std::mutex m_mtxState;
    std::condition_variable m_stateChanged;
    Startup m_eStartup;
    bool m_bPumpReady;
    bool m_bPumpLeft;
    bool m_bExited;  // ExitInstance has run
};

// The pump thread's procedure; its argument is the CAbsoluteTimers object.
UINT PumpThreadProc(LPVOID pParam);

// The waitable timers' completion routine, run on the pump thread: posts
// WM_ABSOLUTETIMERDUE with the record to the absolute-timer thread. It never
// reads the record.
VOID CALLBACK AbsoluteTimerApc(LPVOID lpArgToCompletionRoutine, DWORD dwTimerLowValue,
                               DWORD dwTimerHighValue);

// The most recently started CAbsoluteTimers object, or null once its thread
// has ended.
// For diagnostics: the library's own threads reach their object directly.
extern std::atomic<CAbsoluteTimers*> g_pAbsoluteTimers;

#endif  // HOROLOG_ABSOLUTE_ABSOLUTE_TIMERS_H
