// A module of its own for the tests: its own copy of the framework, an
// application object whose start-up succeeds or fails (TESTMOD_FAIL), and
// exports that report what the module's framework copy sees.
//
// Its hooks also report through named events, which outlive a module whose
// load failed: "<name>-init", "<name>-exit1" and, should the exit hook run a
// second time, "<name>-exit2".
#include <string>

#include "afx/afx.h"
#include "testmod.h"

namespace {

void Report(const char* what) {
    const std::string name = std::string(TESTMOD_NAME) + "-" + what;
    // The handle is left open on purpose: the event must outlive a module
    // whose load failed, until the test has looked at it.
    HANDLE h = ::CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    if (h != nullptr) ::SetEvent(h);
}

LONG g_initCalls = 0;
LONG g_exitCalls = 0;

class CTestModuleApp : public CWinApp {
  public:
    CTestModuleApp() : CWinApp(TESTMOD_NAME) {}
    BOOL InitInstance() override {
        ++g_initCalls;
        Report("init");
#ifdef TESTMOD_FAIL
        return FALSE;
#else
        return TRUE;
#endif
    }
    int ExitInstance() override {
        ++g_exitCalls;
        Report(g_exitCalls == 1 ? "exit1" : "exit2");
        return 0;
    }
};

CTestModuleApp theApp;

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved) {
    return AfxDllMain(hInstance, dwReason, lpReserved);
}

extern "C" TESTMOD_EXPORT void TESTMOD_QUERY(TestModuleInfo* info) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    info->appName = AfxGetApp() ? AfxGetApp()->m_pszAppName : nullptr;
    info->app = AfxGetApp();
    info->moduleState = AfxGetStaticModuleState();
    info->instance = AfxGetInstanceHandle();
    info->startupFailed = AfxModuleStartupFailed();
    info->initCalls = g_initCalls;
    info->exitCalls = g_exitCalls;
}

extern "C" TESTMOD_EXPORT HRESULT TESTMOD_LOCK(BOOL bLock) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    if (bLock) {
        AfxOleLockApp();
    } else {
        AfxOleUnlockApp();
    }
    return AfxDllCanUnloadNow();
}
