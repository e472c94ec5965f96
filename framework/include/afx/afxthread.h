// Framework threads: CWinThread, AfxBeginThread and cooperative suspension.
//
// A thread is either a worker, which runs one procedure, or a message-loop
// thread, which runs InitInstance, then its message loop (Run), then
// ExitInstance. Thread messages (posted with no window) are dispatched to
// the thread object's message map. Every framework thread makes its message
// queue before it runs any code of its own, so posts to it succeed from then
// on; CWinThread::PostThreadMessage called earlier waits for that moment.
//
// Suspension is cooperative. SuspendThread only raises a count; the thread
// comes to rest at the next point where it holds no lock of its own:
//  - a message-loop thread between two messages (after its wait, before it
//    takes the next message), so it is never suspended inside a handler;
//  - a worker wherever its procedure calls AfxRestIfSuspended() (before and
//    after its waits, outside its locks).
// The thread is never stopped by the operating system, so it cannot be
// caught holding a lock that every other thread then waits for.
//
// Ending: RequestEnd() marks the thread to end, wakes it from a rest (also
// while suspended) and posts WM_QUIT to it. A message loop ends on that
// WM_QUIT or at its next rest point; a worker learns of it when
// AfxRestIfSuspended() returns FALSE, or by waiting on GetEndEvent().
// WaitForEnd() then joins the thread within a time limit.
#ifndef AFX_AFXTHREAD_H
#define AFX_AFXTHREAD_H

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "afx/afxmsgmap.h"

class AFX_MODULE_STATE;

typedef UINT (*AFX_THREADPROC)(LPVOID);

class CWinThread : public CCmdTarget {
    DECLARE_DYNAMIC(CWinThread)
  public:
    // A message-loop thread; the class that derives from it is usually
    // created with AfxBeginThread(RUNTIME_CLASS(...)).
    CWinThread();
    // A worker thread that will run pfnThreadProc(pParam).
    CWinThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam);
    // Closes m_hThread. An object must not be deleted while its thread still
    // runs (end it with RequestEnd and WaitForEnd first); as a safety net the
    // destructor of a running thread's object, called on another thread,
    // requests the end and waits for it for a few seconds.
    ~CWinThread() override;

    // Starts the thread. With CREATE_SUSPENDED the thread comes to rest
    // before it runs InitInstance or its procedure, until ResumeThread.
    // FALSE when the thread could not be created (or already was).
    BOOL CreateThread(DWORD dwCreateFlags = 0, UINT nStackSize = 0,
                      LPSECURITY_ATTRIBUTES lpSecurityAttrs = nullptr);

    HANDLE m_hThread;                // null until CreateThread succeeds
    DWORD m_nThreadID;               // 0 until CreateThread succeeds
    BOOL m_bAutoDelete;              // TRUE: the object is deleted when its thread ends
    AFX_THREADPROC m_pfnThreadProc;  // null for a message-loop thread
    LPVOID m_pThreadParams;

    // Message-loop threads: the start-up hook (FALSE ends the thread, after
    // ExitInstance; the default returns TRUE, so a class with only a message
    // map runs its loop), the loop, and the exit hook, whose result becomes
    // the thread's exit code. ExitInstance runs exactly once, also when the
    // end was requested before InitInstance ran. An exception that escapes
    // InitInstance, a handler, Run or a worker procedure ends the thread at
    // once with exit code (DWORD)-1.
    virtual BOOL InitInstance();
    virtual int ExitInstance();
    virtual int Run();
    // Called for every message taken by Run before it is dispatched; TRUE
    // means the message was handled and goes no further.
    virtual BOOL PreTranslateMessage(MSG* pMsg);
    // Called when the thread ends: deletes the object if m_bAutoDelete.
    virtual void Delete();

    // Posts a message to the thread's queue. A thread that has only just been
    // created may not have its queue yet; the post then waits (a few
    // seconds at most) until the new thread has made it.
    BOOL PostThreadMessage(UINT message, WPARAM wParam, LPARAM lParam);

    // Cooperative suspension, counted as the operating system counts it:
    // both return the count before the call; SuspendThread fails with
    // (DWORD)-1 beyond 127, ResumeThread at 0 changes nothing and returns 0.
    // SuspendThread returns at once, also when a thread suspends itself;
    // the thread comes to rest at its next rest point.
    DWORD SuspendThread();
    DWORD ResumeThread();
    DWORD GetSuspendCount() const;

    BOOL SetThreadPriority(int nPriority);

    // Rest point. On the object's own thread: blocks while the suspend count
    // is above 0. FALSE when the thread has been asked to end (also while
    // suspended: an end request ends the rest). On any other thread it
    // never blocks and only reports the end request.
    BOOL RestIfSuspended();

    // Asks the thread to end (see above). May be called from any thread,
    // also the thread itself, and more than once.
    void RequestEnd();
    BOOL IsEndRequested() const;
    // Manual-reset event, signalled by RequestEnd, for workers that wait on
    // handles. Valid from CreateThread until the object is destroyed.
    HANDLE GetEndEvent() const { return m_hEndEvent; }

    // Waits until the thread has ended, at most dwMilliseconds. FALSE on
    // time-out, for an object without a thread, and when called on the
    // thread itself (which could never see its own end). Only for objects
    // whose m_bAutoDelete is FALSE: an auto-deleting object may be gone.
    BOOL WaitForEnd(DWORD dwMilliseconds);

    // Waits until the thread has come to rest because it is suspended, at
    // most dwMilliseconds. FALSE at once when it is not suspended or is
    // asked to end. For callers that must know the thread has stopped.
    BOOL WaitForRest(DWORD dwMilliseconds);

  protected:
    DECLARE_MESSAGE_MAP()

    // The wParam of the WM_QUIT that ended the loop; ExitInstance's default
    // result.
    int m_nExitCode;

  private:
    static DWORD WINAPI ThreadEntry(LPVOID pParam);
    void CommonConstruct();
    void MarkQueueReady();
    BOOL DispatchOne(MSG& msg);

    friend class AFX_MODULE_STATE;
    friend class CWinApp;

    AFX_MODULE_STATE* m_pModuleState;  // the module that started the thread
    int m_nStartPriority;              // applied when the thread is created
    HANDLE m_hEndEvent;

    // Suspension and end state. The atomics allow a lock-free fast path at
    // rest points; every change happens under m_stateLock so that waiters on
    // the condition variables never miss one.
    mutable std::mutex m_stateLock;
    std::condition_variable m_stateChanged;
    std::atomic<LONG> m_nSuspendCount;
    std::atomic<bool> m_bEndRequested;
    bool m_bResting;
    bool m_bQueueReady;
    bool m_bFinished;
};

// Starts a worker thread running pfnThreadProc(pParam).
AFX_API CWinThread* AfxBeginThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam,
                                   int nPriority = THREAD_PRIORITY_NORMAL, UINT nStackSize = 0,
                                   DWORD dwCreateFlags = 0,
                                   LPSECURITY_ATTRIBUTES lpSecurityAttrs = nullptr);

// Creates an object of pThreadClass (which must derive from CWinThread) and
// starts it as a message-loop thread.
AFX_API CWinThread* AfxBeginThread(CRuntimeClass* pThreadClass,
                                   int nPriority = THREAD_PRIORITY_NORMAL, UINT nStackSize = 0,
                                   DWORD dwCreateFlags = 0,
                                   LPSECURITY_ATTRIBUTES lpSecurityAttrs = nullptr);
// Both return the thread object, or null when the object or the thread
// could not be created (nothing is left behind then). With m_bAutoDelete
// TRUE the object may already be gone when a short thread has ended; start
// with CREATE_SUSPENDED to change m_bAutoDelete safely before ResumeThread.

// The framework thread object of the calling thread, or null.
AFX_API CWinThread* AfxGetThread();

// Rest point of the calling thread: see CWinThread::RestIfSuspended. TRUE
// on threads that the framework did not start.
AFX_API BOOL AfxRestIfSuspended();

#endif  // AFX_AFXTHREAD_H
