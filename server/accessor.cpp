// GetHorolog: the shared accessor through which the components of the
// process obtain the one timer manager.
#include "shell.h"

#include "afx/afx.h"
#include "core/manager.h"

#include <mutex>

namespace {

// Serialises creations through this accessor, so that callers that all
// find no manager create one and share it. Held across the COM activation;
// the class factory does not take it (COM may run the factory on a thread
// of its own).
std::mutex g_mtxCreation;

// A creation that loses the race to another client (the factory answers
// E_ACCESSDENIED) looks again for the winner's manager; it gives up when
// that manager keeps vanishing before it can be shared.
const int kCreationAttempts = 8;

// The shared manager with a reference added, or null when there is none.
// Under the lock that the manager's last Release takes, a manager in
// g_pHorolog still has references, so the one added here never revives a
// manager that is going away.
IHorolog* AddRefShared() {
    afx::ScopedLock lock(HorologAccessLock());
    IHorolog* pHorolog = g_pHorolog;
    if (pHorolog != nullptr) pHorolog->AddRef();
    return pHorolog;
}

}  // namespace

extern "C" HOROLOG_EXPORT IHorolog* GetHorolog(void) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    if (IHorolog* pHorolog = AddRefShared()) return pHorolog;

    std::lock_guard<std::mutex> creating(g_mtxCreation);
    for (int attempt = 0; attempt < kCreationAttempts; ++attempt) {
        if (IHorolog* pHorolog = AddRefShared()) return pHorolog;
        // The class factory sets g_pHorolog. The pointer the caller gets is
        // the one activation returned: the manager itself, or whatever COM
        // hands a caller in another apartment.
        IHorolog* pHorolog = nullptr;
        const HRESULT hr = CoCreateInstance(CLSID_Horolog, nullptr, CLSCTX_INPROC_SERVER,
                                            IID_IHorolog, reinterpret_cast<void**>(&pHorolog));
        if (SUCCEEDED(hr) && pHorolog != nullptr) return pHorolog;
        if (hr != E_ACCESSDENIED) {
            TRACE("GetHorolog: The manager could not be created (0x%08X).\n",
                  static_cast<unsigned>(hr));
            return nullptr;
        }
    }
    return AddRefShared();
}
