#include <chrono>

#include "afx/afxmodule.h"

namespace {

// The framework thread object of the calling thread.
thread_local CWinThread* t_pCurrentThread = nullptr;

// Windows refuses to suspend a thread more often than this.
constexpr LONG kMaxSuspendCount = 127;
constexpr DWORD kErrorSignalRefused = 156;  // ERROR_SIGNAL_REFUSED

// How long a post waits for a just-created thread to make its queue, and
// how long the destructor of a still-running thread's object waits for it.
constexpr auto kStartupWait = std::chrono::seconds(5);
constexpr auto kEndWait = std::chrono::seconds(5);

}  // namespace

IMPLEMENT_DYNAMIC(CWinThread, CCmdTarget)

BEGIN_MESSAGE_MAP(CWinThread, CCmdTarget)
END_MESSAGE_MAP()

CWinThread::CWinThread() : m_pfnThreadProc(nullptr), m_pThreadParams(nullptr) { CommonConstruct(); }

CWinThread::CWinThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam)
    : m_pfnThreadProc(pfnThreadProc), m_pThreadParams(pParam) {
    CommonConstruct();
}

void CWinThread::CommonConstruct() {
    m_hThread = nullptr;
    m_nThreadID = 0;
    m_bAutoDelete = TRUE;
    m_nExitCode = 0;
    m_nStartPriority = THREAD_PRIORITY_NORMAL;
    m_pModuleState = AfxGetModuleState();
    m_hEndEvent = nullptr;
    m_nSuspendCount.store(0);
    m_bEndRequested.store(false);
    m_bResting = false;
    m_bQueueReady = false;
    m_bFinished = false;
}

CWinThread::~CWinThread() {
    if (m_hThread != nullptr) {
        if (m_nThreadID != ::GetCurrentThreadId()) {
            std::unique_lock<std::mutex> lock(m_stateLock);
            if (!m_bFinished) {
                lock.unlock();
                TRACE("CWinThread::~CWinThread: thread %lu still runs; asking it to end.\n",
                      (unsigned long)m_nThreadID);
                RequestEnd();
                lock.lock();
                if (!m_stateChanged.wait_for(lock, kEndWait, [this] { return m_bFinished; })) {
                    TRACE("CWinThread::~CWinThread: thread %lu did not end.\n",
                          (unsigned long)m_nThreadID);
                }
            }
        }
        if (m_pModuleState != nullptr) {
            m_pModuleState->ReleaseThreadHandle(m_hThread);
        } else {
            ::CloseHandle(m_hThread);
        }
        m_hThread = nullptr;
    }
    if (m_hEndEvent != nullptr) ::CloseHandle(m_hEndEvent);
}

BOOL CWinThread::CreateThread(DWORD dwCreateFlags, UINT nStackSize,
                              LPSECURITY_ATTRIBUTES lpSecurityAttrs) {
    if (m_hThread != nullptr) {
        TRACE0("CWinThread::CreateThread: the thread was already created.\n");
        return FALSE;
    }
    m_pModuleState = AfxGetModuleState();
    if (m_hEndEvent == nullptr) {
        m_hEndEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (m_hEndEvent == nullptr) {
            TRACE0("CWinThread::CreateThread: no end event.\n");
            return FALSE;
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_nSuspendCount.store((dwCreateFlags & CREATE_SUSPENDED) ? 1 : 0);
        m_bEndRequested.store(false);
        m_bResting = false;
        m_bQueueReady = false;
        m_bFinished = false;
    }

    // The operating-system thread starts suspended so that the handle and id
    // are stored before it can run (and, auto-deleting, delete the object).
    // The caller's CREATE_SUSPENDED is the framework's own suspension above.
    DWORD nThreadID = 0;
    HANDLE hThread = ::CreateThread(lpSecurityAttrs, nStackSize, &CWinThread::ThreadEntry, this,
                                    CREATE_SUSPENDED, &nThreadID);
    if (hThread == nullptr) {
        TRACE("CWinThread::CreateThread: CreateThread failed (%lu).\n",
              (unsigned long)::GetLastError());
        return FALSE;
    }
    m_hThread = hThread;
    m_nThreadID = nThreadID;
    m_pModuleState->AddThread(hThread);
    if (m_nStartPriority != THREAD_PRIORITY_NORMAL) ::SetThreadPriority(hThread, m_nStartPriority);
    // From here on the object may be gone.
    if (::ResumeThread(hThread) == (DWORD)-1) {
        TRACE0("CWinThread::CreateThread: the new thread could not be started.\n");
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI CWinThread::ThreadEntry(LPVOID pParam) {
    CWinThread* pThread = static_cast<CWinThread*>(pParam);
    DWORD nExitCode = 0;
    AFX_MANAGE_STATE(pThread->m_pModuleState);
    t_pCurrentThread = pThread;

    // Make the message queue before anything else, so that posts succeed
    // from now on and an end request posted from now on is seen.
    MSG msg;
    ::PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    pThread->MarkQueueReady();

    try {
        if (pThread->m_pfnThreadProc != nullptr) {
            if (pThread->RestIfSuspended()) {
                nExitCode = pThread->m_pfnThreadProc(pThread->m_pThreadParams);
            }
        } else if (pThread->RestIfSuspended() && pThread->InitInstance()) {
            nExitCode = static_cast<DWORD>(pThread->Run());
        } else {
            nExitCode = static_cast<DWORD>(pThread->ExitInstance());
        }
    } catch (...) {
        TRACE("CWinThread: thread %lu ended by an exception.\n",
              (unsigned long)::GetCurrentThreadId());
        nExitCode = static_cast<DWORD>(-1);
    }

    // Once m_bFinished is set, another thread may delete a non-auto-deleting
    // object: read everything needed before.
    const bool bAutoDelete = pThread->m_bAutoDelete != FALSE;
    {
        std::lock_guard<std::mutex> lock(pThread->m_stateLock);
        pThread->m_bFinished = true;
        pThread->m_stateChanged.notify_all();
    }
    if (bAutoDelete) pThread->Delete();
    t_pCurrentThread = nullptr;
    return nExitCode;
}

void CWinThread::MarkQueueReady() {
    std::lock_guard<std::mutex> lock(m_stateLock);
    m_bQueueReady = true;
    m_stateChanged.notify_all();
}

BOOL CWinThread::InitInstance() { return TRUE; }

int CWinThread::ExitInstance() { return m_nExitCode; }

int CWinThread::Run() {
    for (;;) {
        if (!RestIfSuspended()) break;
        MSG msg;
        if (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                m_nExitCode = static_cast<int>(msg.wParam);
                break;
            }
            DispatchOne(msg);
            continue;
        }
        // The queue was empty when looked at; MWMO_INPUTAVAILABLE makes the
        // wait return for a message that arrived since, so none is missed.
        DWORD r =
            ::MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (r == WAIT_FAILED) {
            TRACE("CWinThread::Run: the message wait failed (%lu).\n",
                  (unsigned long)::GetLastError());
            ::Sleep(1);  // no busy loop on a broken wait
        }
    }
    return ExitInstance();
}

BOOL CWinThread::DispatchOne(MSG& msg) {
    if (PreTranslateMessage(&msg)) return TRUE;
    if (msg.hwnd == nullptr && DispatchThreadMessage(msg.message, msg.wParam, msg.lParam)) {
        return TRUE;
    }
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
    return FALSE;
}

BOOL CWinThread::PreTranslateMessage(MSG*) { return FALSE; }

void CWinThread::Delete() {
    if (m_bAutoDelete) delete this;
}

BOOL CWinThread::PostThreadMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (m_nThreadID == 0) {
        ::SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    {
        std::unique_lock<std::mutex> lock(m_stateLock);
        if (!m_bQueueReady) {
            m_stateChanged.wait_for(lock, kStartupWait,
                                    [this] { return m_bQueueReady || m_bFinished; });
        }
    }
    return ::PostThreadMessageA(m_nThreadID, message, wParam, lParam);
}

DWORD CWinThread::SuspendThread() {
    if (m_hThread == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return static_cast<DWORD>(-1);
    }
    std::lock_guard<std::mutex> lock(m_stateLock);
    const LONG previous = m_nSuspendCount.load();
    if (previous >= kMaxSuspendCount) {
        ::SetLastError(kErrorSignalRefused);
        return static_cast<DWORD>(-1);
    }
    m_nSuspendCount.store(previous + 1);
    return static_cast<DWORD>(previous);
}

DWORD CWinThread::ResumeThread() {
    if (m_hThread == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return static_cast<DWORD>(-1);
    }
    std::lock_guard<std::mutex> lock(m_stateLock);
    const LONG previous = m_nSuspendCount.load();
    if (previous > 0) {
        m_nSuspendCount.store(previous - 1);
        if (previous == 1) m_stateChanged.notify_all();
    }
    return static_cast<DWORD>(previous);
}

DWORD CWinThread::GetSuspendCount() const { return static_cast<DWORD>(m_nSuspendCount.load()); }

BOOL CWinThread::SetThreadPriority(int nPriority) {
    if (m_hThread == nullptr) {
        m_nStartPriority = nPriority;  // applied when the thread is created
        return TRUE;
    }
    return ::SetThreadPriority(m_hThread, nPriority);
}

BOOL CWinThread::RestIfSuspended() {
    if (m_nSuspendCount.load(std::memory_order_acquire) == 0 ||
        m_bEndRequested.load(std::memory_order_acquire)) {
        return m_bEndRequested.load(std::memory_order_acquire) ? FALSE : TRUE;
    }
    if (m_nThreadID != ::GetCurrentThreadId()) return !m_bEndRequested.load();
    std::unique_lock<std::mutex> lock(m_stateLock);
    if (m_nSuspendCount.load() > 0 && !m_bEndRequested.load()) {
        m_bResting = true;
        m_stateChanged.notify_all();
        m_stateChanged.wait(
            lock, [this] { return m_nSuspendCount.load() == 0 || m_bEndRequested.load(); });
        m_bResting = false;
    }
    return m_bEndRequested.load() ? FALSE : TRUE;
}

void CWinThread::RequestEnd() {
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_bEndRequested.store(true);
        m_stateChanged.notify_all();
    }
    if (m_hEndEvent != nullptr) ::SetEvent(m_hEndEvent);
    // Wakes a message loop (or a worker waiting for messages). A thread whose
    // queue does not exist yet sees the flag at its first rest point.
    if (m_nThreadID != 0) ::PostThreadMessageA(m_nThreadID, WM_QUIT, 0, 0);
}

BOOL CWinThread::IsEndRequested() const { return m_bEndRequested.load() ? TRUE : FALSE; }

BOOL CWinThread::WaitForEnd(DWORD dwMilliseconds) {
    if (m_hThread == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (m_nThreadID == ::GetCurrentThreadId()) {
        TRACE0("CWinThread::WaitForEnd: a thread cannot wait for its own end.\n");
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return ::WaitForSingleObject(m_hThread, dwMilliseconds) == WAIT_OBJECT_0;
}

BOOL CWinThread::WaitForRest(DWORD dwMilliseconds) {
    std::unique_lock<std::mutex> lock(m_stateLock);
    auto settled = [this] {
        return m_bResting || m_nSuspendCount.load() == 0 || m_bEndRequested.load() || m_bFinished;
    };
    if (dwMilliseconds == INFINITE) {
        m_stateChanged.wait(lock, settled);
    } else {
        m_stateChanged.wait_for(lock, std::chrono::milliseconds(dwMilliseconds), settled);
    }
    return (m_bResting && m_nSuspendCount.load() > 0 && !m_bEndRequested.load()) ? TRUE : FALSE;
}

CWinThread* AfxBeginThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam, int nPriority,
                           UINT nStackSize, DWORD dwCreateFlags,
                           LPSECURITY_ATTRIBUTES lpSecurityAttrs) {
    if (pfnThreadProc == nullptr) return nullptr;
    CWinThread* pThread = new (std::nothrow) CWinThread(pfnThreadProc, pParam);
    if (pThread == nullptr) return nullptr;
    pThread->SetThreadPriority(nPriority);
    if (!pThread->CreateThread(dwCreateFlags, nStackSize, lpSecurityAttrs)) {
        delete pThread;
        return nullptr;
    }
    return pThread;
}

CWinThread* AfxBeginThread(CRuntimeClass* pThreadClass, int nPriority, UINT nStackSize,
                           DWORD dwCreateFlags, LPSECURITY_ATTRIBUTES lpSecurityAttrs) {
    if (pThreadClass == nullptr) return nullptr;
    if (!pThreadClass->IsDerivedFrom(RUNTIME_CLASS(CWinThread))) {
        TRACE("AfxBeginThread: %s is not a thread class.\n", pThreadClass->m_lpszClassName);
        return nullptr;
    }
    CObject* pObject = pThreadClass->CreateObject();
    if (pObject == nullptr) return nullptr;
    CWinThread* pThread = static_cast<CWinThread*>(pObject);
    pThread->SetThreadPriority(nPriority);
    if (!pThread->CreateThread(dwCreateFlags, nStackSize, lpSecurityAttrs)) {
        delete pThread;
        return nullptr;
    }
    return pThread;
}

CWinThread* AfxGetThread() { return t_pCurrentThread; }

BOOL AfxRestIfSuspended() {
    CWinThread* pThread = t_pCurrentThread;
    return pThread != nullptr ? pThread->RestIfSuspended() : TRUE;
}
