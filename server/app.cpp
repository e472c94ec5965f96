// The module's application object and its entry point.
//
// Loading the module constructs CHorologApp with the rest of the static
// objects; the framework's DllMain then runs its start-up hook, which
// registers the counter report with the object database. If that fails the
// module does not load. Unloading runs the exit hook, which takes the
// report back, before the static objects are destroyed.
#include "shell.h"

#include "afx/afx.h"
#include "kestrel/kestrel.h"

namespace {

class CHorologApp : public CWinApp {
  public:
    CHorologApp() : CWinApp(nullptr) {}

    BOOL InitInstance() override {
        Kestrel* pKestrel = GetKestrel();
        if (pKestrel == nullptr) {
            TRACE0("CHorologApp::InitInstance: No object database.\n");
            return FALSE;
        }
        if (pKestrel->RegisterReportingFunction(ReportTimerCounters) < 0) {
            TRACE0("CHorologApp::InitInstance: The counter report could not be registered.\n");
            return FALSE;
        }
        return TRUE;
    }

    int ExitInstance() override {
        // Also runs after a failed start-up; unregistering what was never
        // registered is refused harmlessly.
        if (Kestrel* pKestrel = GetKestrel())
            pKestrel->UnregisterReportingFunction(ReportTimerCounters);
        return 0;
    }
};

CHorologApp theApp;

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved) {
    return AfxDllMain(hInstance, dwReason, lpReserved);
}
