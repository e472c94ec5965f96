#include <cstring>
#include <new>

#include "afx/afxmodule.h"

namespace {

// The module state made current on this thread by AFX_MANAGE_STATE (or by
// the framework for the threads it starts); null: the module's own.
thread_local AFX_MODULE_STATE* t_pModuleState = nullptr;

bool IsSignalled(HANDLE h) { return ::WaitForSingleObject(h, 0) == WAIT_OBJECT_0; }

}  // namespace

// ---- module state ----------------------------------------------------------

AFX_MODULE_STATE::AFX_MODULE_STATE()
    : m_pCurrentWinApp(nullptr),
      m_hCurrentInstanceHandle(nullptr),
      m_lpszCurrentAppName(nullptr),
      m_nObjectCount(0),
      m_bStartupFailed(FALSE),
      m_bAppStarted(FALSE) {}

AFX_MODULE_STATE::~AFX_MODULE_STATE() {
    std::lock_guard<std::mutex> lock(m_threadsLock);
    for (const ThreadRecord& r : m_threads) {
        if (!r.bObjectAlive) ::CloseHandle(r.hThread);
    }
    m_threads.clear();
}

void AFX_MODULE_STATE::AddThread(HANDLE hThread) {
    PruneEndedThreads();
    std::lock_guard<std::mutex> lock(m_threadsLock);
    m_threads.push_back(ThreadRecord{hThread, true});
}

void AFX_MODULE_STATE::ReleaseThreadHandle(HANDLE hThread) {
    std::lock_guard<std::mutex> lock(m_threadsLock);
    for (auto it = m_threads.begin(); it != m_threads.end(); ++it) {
        if (it->hThread != hThread) continue;
        if (IsSignalled(hThread)) {
            m_threads.erase(it);
            ::CloseHandle(hThread);
        } else {
            // The thread still runs (an auto-deleting object is deleted by its
            // own thread just before it ends): the record keeps the handle
            // until it is signalled.
            it->bObjectAlive = false;
        }
        return;
    }
    ::CloseHandle(hThread);
}

size_t AFX_MODULE_STATE::PruneEndedThreads() {
    std::lock_guard<std::mutex> lock(m_threadsLock);
    size_t kept = 0;
    for (size_t i = 0; i < m_threads.size(); ++i) {
        const ThreadRecord r = m_threads[i];
        if (IsSignalled(r.hThread)) {
            if (!r.bObjectAlive) ::CloseHandle(r.hThread);
            // A live object keeps its handle; it is no longer tracked here.
        } else {
            m_threads[kept++] = r;
        }
    }
    m_threads.resize(kept);
    if (kept == 0) std::vector<ThreadRecord>().swap(m_threads);
    return kept;
}

AFX_MODULE_STATE* AfxGetStaticModuleState() {
    // Never destroyed: threads of the module, and the program's exit code
    // running after static destruction, may still look at it.
    alignas(AFX_MODULE_STATE) static unsigned char storage[sizeof(AFX_MODULE_STATE)];
    static AFX_MODULE_STATE* const pState = new (storage) AFX_MODULE_STATE;
    return pState;
}

AFX_MODULE_STATE* AfxGetModuleState() {
    AFX_MODULE_STATE* pState = t_pModuleState;
    return pState != nullptr ? pState : AfxGetStaticModuleState();
}

AFX_MAINTAIN_STATE::AFX_MAINTAIN_STATE(AFX_MODULE_STATE* pNewState) : m_pPrevState(t_pModuleState) {
    t_pModuleState = pNewState;
}

AFX_MAINTAIN_STATE::~AFX_MAINTAIN_STATE() { t_pModuleState = m_pPrevState; }

// ---- application object ----------------------------------------------------

IMPLEMENT_DYNAMIC(CWinApp, CWinThread)

CWinApp::CWinApp(LPCSTR lpszAppName)
    : m_pszAppName(nullptr), m_hInstance(nullptr), m_pszNameStorage(nullptr) {
    if (lpszAppName != nullptr) {
        const size_t n = std::strlen(lpszAppName) + 1;
        m_pszNameStorage = new (std::nothrow) char[n];
        if (m_pszNameStorage != nullptr) {
            std::memcpy(m_pszNameStorage, lpszAppName, n);
            m_pszAppName = m_pszNameStorage;
        }
    }
    AFX_MODULE_STATE* pState = AfxGetModuleState();
    if (pState->m_pCurrentWinApp != nullptr) {
        TRACE0("CWinApp: a second application object replaces the first in this module.\n");
    }
    pState->m_pCurrentWinApp = this;
    pState->m_lpszCurrentAppName = m_pszAppName;
    m_hInstance = pState->m_hCurrentInstanceHandle;
}

CWinApp::~CWinApp() {
    // m_pModuleState is the state current at construction, which the
    // constructor registered this object with.
    if (m_pModuleState != nullptr && m_pModuleState->m_pCurrentWinApp == this) {
        m_pModuleState->m_pCurrentWinApp = nullptr;
        m_pModuleState->m_lpszCurrentAppName = nullptr;
    }
    delete[] m_pszNameStorage;
}

BOOL CWinApp::InitInstance() { return TRUE; }

int CWinApp::ExitInstance() { return 0; }

CWinApp* AfxGetApp() { return AfxGetModuleState()->m_pCurrentWinApp; }

HINSTANCE AfxGetInstanceHandle() { return AfxGetModuleState()->m_hCurrentInstanceHandle; }

// ---- module hooks ----------------------------------------------------------

BOOL AfxDllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID) {
    AFX_MODULE_STATE* pState = AfxGetModuleState();
    switch (dwReason) {
        case DLL_PROCESS_ATTACH: {
            pState->m_hCurrentInstanceHandle = hInstance;
            pState->m_bStartupFailed = FALSE;
            CWinApp* pApp = pState->m_pCurrentWinApp;
            if (pApp == nullptr) return TRUE;
            pApp->m_hInstance = hInstance;
            BOOL bStarted = FALSE;
            try {
                bStarted = pApp->InitInstance();
            } catch (...) {
                TRACE0("AfxDllMain: InitInstance threw.\n");
                bStarted = FALSE;
            }
            if (bStarted) {
                pState->m_bAppStarted = TRUE;
                return TRUE;
            }
            TRACE0("AfxDllMain: the application's start-up failed; the module does not load.\n");
            pState->m_bStartupFailed = TRUE;
            try {
                pApp->ExitInstance();
            } catch (...) {
                TRACE0("AfxDllMain: ExitInstance threw.\n");
            }
            return FALSE;
        }
        case DLL_PROCESS_DETACH: {
            // Windows also sends this right after a failed attach; the exit
            // hook has run then already.
            CWinApp* pApp = pState->m_pCurrentWinApp;
            if (pApp != nullptr && pState->m_bAppStarted) {
                pState->m_bAppStarted = FALSE;
                try {
                    pApp->ExitInstance();
                } catch (...) {
                    TRACE0("AfxDllMain: ExitInstance threw.\n");
                }
            }
            pState->PruneEndedThreads();
            return TRUE;
        }
        default:
            return TRUE;
    }
}

BOOL AfxModuleStartupFailed() { return AfxGetModuleState()->m_bStartupFailed.load(); }

void AfxOleLockApp() { ++AfxGetModuleState()->m_nObjectCount; }

void AfxOleUnlockApp() {
    std::atomic<LONG>& count = AfxGetModuleState()->m_nObjectCount;
    LONG n = count.load();
    while (n > 0 && !count.compare_exchange_weak(n, n - 1)) {
    }
    if (n <= 0) TRACE0("AfxOleUnlockApp: the module holds no lock.\n");
}

HRESULT AfxDllCanUnloadNow() {
    AFX_MODULE_STATE* pState = AfxGetModuleState();
    if (pState->m_nObjectCount.load() > 0) return S_FALSE;
    if (pState->PruneEndedThreads() > 0) return S_FALSE;
    return S_OK;
}
