// Module state, the application object and the module's start-up, exit and
// unload hooks.
//
// Every module (the program and each DLL) links its own copy of the
// framework and so has its own static module state. The state that is
// current on a thread is that module's own, unless AFX_MANAGE_STATE made
// another current for a scope. Threads started with AfxBeginThread run with
// the module state of the code that started them.
#ifndef AFX_AFXMODULE_H
#define AFX_AFXMODULE_H

#include <atomic>
#include <mutex>
#include <vector>

#include "afx/afxthread.h"

class CWinApp;
class AFX_MODULE_STATE;

AFX_API BOOL AfxDllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved);
AFX_API HRESULT AfxDllCanUnloadNow();

class AFX_MODULE_STATE {
  public:
    AFX_MODULE_STATE();
    // Closes the handles of the module's ended threads. A state must outlive
    // the thread objects started under it (the static state of a module
    // lives as long as the module).
    ~AFX_MODULE_STATE();
    AFX_MODULE_STATE(const AFX_MODULE_STATE&) = delete;
    AFX_MODULE_STATE& operator=(const AFX_MODULE_STATE&) = delete;

    CWinApp* m_pCurrentWinApp;           // set by the CWinApp constructor
    HINSTANCE m_hCurrentInstanceHandle;  // set by AfxDllMain at process attach
    LPCSTR m_lpszCurrentAppName;
    std::atomic<LONG> m_nObjectCount;    // AfxOleLockApp / AfxOleUnlockApp
    std::atomic<BOOL> m_bStartupFailed;  // the application's InitInstance failed

  private:
    friend class CWinThread;
    friend BOOL AfxDllMain(HINSTANCE, DWORD, LPVOID);
    friend HRESULT AfxDllCanUnloadNow();

    // Threads started from this module. A thread counts as running until its
    // handle is signalled, that is until it has left the module's code. A
    // record owns its handle once the thread object is gone.
    struct ThreadRecord {
        HANDLE hThread;
        bool bObjectAlive;
    };
    void AddThread(HANDLE hThread);
    void ReleaseThreadHandle(HANDLE hThread);  // from ~CWinThread
    size_t PruneEndedThreads();                // returns the number still running

    BOOL m_bAppStarted;  // InitInstance succeeded and ExitInstance is due
    std::mutex m_threadsLock;
    std::vector<ThreadRecord> m_threads;
};

// This module's own state (one per module, never destroyed).
AFX_API AFX_MODULE_STATE* AfxGetStaticModuleState();
// The state current on this thread.
AFX_API AFX_MODULE_STATE* AfxGetModuleState();

// Makes a module state current on this thread for its scope and restores
// the previous one when the scope is left, on every path.
class AFX_MAINTAIN_STATE {
  public:
    explicit AFX_MAINTAIN_STATE(AFX_MODULE_STATE* pNewState);
    ~AFX_MAINTAIN_STATE();
    AFX_MAINTAIN_STATE(const AFX_MAINTAIN_STATE&) = delete;
    AFX_MAINTAIN_STATE& operator=(const AFX_MAINTAIN_STATE&) = delete;

  private:
    AFX_MODULE_STATE* m_pPrevState;
};

#define AFX_MANAGE_STATE(p) AFX_MAINTAIN_STATE _afxModuleStateGuard(p)

// The module's application object. Its constructor registers it with the
// module state current at construction (a static instance: the module's
// own); AfxDllMain then runs its start-up and exit hooks.
class CWinApp : public CWinThread {
    DECLARE_DYNAMIC(CWinApp)
  public:
    explicit CWinApp(LPCSTR lpszAppName = nullptr);
    ~CWinApp() override;

    // Start-up hook: FALSE makes the module's load fail. Default: TRUE.
    BOOL InitInstance() override;
    // Exit hook, also run after a failed start-up. Default: returns 0.
    int ExitInstance() override;

    LPCSTR m_pszAppName;  // copy of the constructor's name, or null
    HINSTANCE m_hInstance;

  private:
    char* m_pszNameStorage;
};

AFX_API CWinApp* AfxGetApp();
AFX_API HINSTANCE AfxGetInstanceHandle();

// To be called by the module's own DllMain with its arguments.
//  - DLL_PROCESS_ATTACH: stores the instance handle and runs the
//    application's InitInstance. If that fails (FALSE or an exception) it
//    runs ExitInstance, marks the module's start-up as failed and returns
//    FALSE, so that the loader fails the load.
//  - DLL_PROCESS_DETACH: runs ExitInstance once, if InitInstance succeeded.
// Returns TRUE otherwise.
AFX_API BOOL AfxDllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved);

// TRUE after the module's start-up failed. Where the load itself cannot be
// undone (a module linked into the program), exports check this and refuse
// to work.
AFX_API BOOL AfxModuleStartupFailed();

// Lock count of the current module (class factories, LockServer, live
// objects). Unlocking below zero is ignored.
AFX_API void AfxOleLockApp();
AFX_API void AfxOleUnlockApp();

// S_OK when nothing of the current module is outstanding: no lock and no
// thread started from it still running (a thread counts until its handle is
// signalled). S_FALSE otherwise.
AFX_API HRESULT AfxDllCanUnloadNow();

#endif  // AFX_AFXMODULE_H
