// The class factory of the manager class and the class-object exports.
//
// At most one manager exists in the process: CreateInstance refuses a second
// one while g_pHorolog is set. The test and the setting of g_pHorolog happen
// under the lock that the manager's last Release clears it under, so two
// creations never both succeed and a manager that is going away is never
// mistaken for a live one.
#include "shell.h"

#include "afx/afx.h"
#include "core/manager.h"
#include "core/testing.h"

#include <cstdint>
#include <new>

std::atomic<LONG> g_cLiveFactories{0};
std::atomic<LONG> g_cServerLocks{0};

namespace {

// An out pointer the caller can really receive an interface through:
// writable memory, aligned for a pointer. Anything else gets E_POINTER
// before it is written, as a null pointer does.
bool IsOutPointer(void** ppv) {
    return ppv != nullptr && reinterpret_cast<uintptr_t>(ppv) % alignof(void*) == 0 &&
           AfxIsValidAddress(ppv, sizeof(void*), TRUE);
}

// An identifier passed by reference that can be read.
bool IsReadableGuid(const GUID& guid) { return AfxIsValidAddress(&guid, sizeof(GUID), FALSE); }

}  // namespace

CHorologFactory::CHorologFactory() : m_cRef(0) { ++g_cLiveFactories; }

CHorologFactory::~CHorologFactory() { --g_cLiveFactories; }

HRESULT STDMETHODCALLTYPE CHorologFactory::QueryInterface(REFIID riid, void** ppvObject) {
    if (!IsOutPointer(ppvObject)) return E_POINTER;
    *ppvObject = nullptr;
    if (!IsReadableGuid(riid)) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
        *ppvObject = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CHorologFactory::AddRef() { return ++m_cRef; }

ULONG STDMETHODCALLTYPE CHorologFactory::Release() {
    const ULONG cRef = --m_cRef;
    if (cRef == 0) delete this;
    return cRef;
}

HRESULT STDMETHODCALLTYPE CHorologFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                                          void** ppvObject) {
    afx::ScopedLock lock(HorologAccessLock());
    // The single-instance test comes before every argument check.
    if (g_pHorolog != nullptr) return E_ACCESSDENIED;
    if (!IsOutPointer(ppvObject)) return E_POINTER;
    *ppvObject = nullptr;
    // The manager never delegates to an outer object, so it cannot be
    // aggregated.
    if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;

    CHorolog* pHorolog = nullptr;
    try {
        if (!horolog::FaultInjected(horolog::kFaultManagerObject))
            pHorolog = new (std::nothrow) CHorolog(pUnkOuter);
    } catch (...) {
        pHorolog = nullptr;
    }
    if (pHorolog == nullptr) {
        TRACE0("CHorologFactory::CreateInstance: No memory for the manager.\n");
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = pHorolog->QueryInterface(riid, ppvObject);
    if (FAILED(hr)) {
        // It holds no reference yet and has started no thread.
        delete pHorolog;
        return hr;
    }
    g_pHorolog = pHorolog;
    return hr;
}

HRESULT STDMETHODCALLTYPE CHorologFactory::LockServer(BOOL fLock) {
    // A lock keeps the module loaded (DllCanUnloadNow); an unlock without a
    // lock is ignored.
    if (fLock) {
        ++g_cServerLocks;
    } else {
        LONG n = g_cServerLocks.load();
        while (n > 0 && !g_cServerLocks.compare_exchange_weak(n, n - 1)) {
        }
    }
    return S_OK;
}

extern "C" HOROLOG_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid,
                                                                   LPVOID* ppv) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    if (!IsOutPointer(ppv) || !IsReadableGuid(riid) || !IsReadableGuid(rclsid)) return E_POINTER;
    // The interface id is tested before the class id.
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
        return E_NOINTERFACE;
    }
    if (!IsEqualCLSID(rclsid, CLSID_Horolog)) return E_TIMERFAILURE;
    CHorologFactory* pFactory = horolog::FaultInjected(horolog::kFaultClassFactory)
                                    ? nullptr
                                    : new (std::nothrow) CHorologFactory;
    if (pFactory == nullptr) return E_OUTOFMEMORY;
    *ppv = static_cast<IClassFactory*>(pFactory);
    pFactory->AddRef();
    return S_OK;
}

extern "C" HOROLOG_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow(void) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    // The framework counts the module's threads and its own locks; the
    // factories, the server locks and the manager are counted here.
    if (g_cLiveFactories.load() > 0 || g_cServerLocks.load() > 0 ||
        CHorolog::m_uiObjectCount.load() > 0) {
        return S_FALSE;
    }
    return AfxDllCanUnloadNow();
}
