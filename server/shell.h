// Inside the Horolog module: the pieces of the server shell that its source
// files share.
#ifndef HOROLOG_SERVER_SHELL_H
#define HOROLOG_SERVER_SHELL_H

#include "horolog/server.h"

#include "afx/afxcoll.h"

#include <atomic>

// Marks the definitions of the standard exports, which the platform headers
// declare without it.
#if defined(_WIN32)
#define HOROLOG_EXPORT __declspec(dllexport)
#else
#define HOROLOG_EXPORT __attribute__((visibility("default")))
#endif

// The reporting function that the application object registers with the
// object database: appends one record per manager counter. Always 0.
long ReportTimerCounters(CPtrArray* pRecords);

// The class factory of the manager class. One is made per DllGetClassObject
// call; it destroys itself when its count returns to 0.
class CHorologFactory final : public IClassFactory {
  public:
    CHorologFactory();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                             void** ppvObject) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override;

  private:
    ~CHorologFactory();  // through Release only

    std::atomic<ULONG> m_cRef;
};

// What keeps the module loaded besides the framework's own count: live
// factories and LockServer locks.
extern std::atomic<LONG> g_cLiveFactories;
extern std::atomic<LONG> g_cServerLocks;

#endif  // HOROLOG_SERVER_SHELL_H
