/*
 * Native platform layer: the COM runtime for in-process servers.
 *
 * Interfaces have the COM binary layout of this platform's C++ ABI: a
 * pointer to a table of functions whose first argument is the object. C code
 * reaches them through lpVtbl, as COM headers conventionally allow.
 *
 * Activation (CoGetClassObject, CoCreateInstance) supports in-process
 * servers only: HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32 names the
 * library, which is loaded once per process with LoadLibraryA and asked for
 * the class object through its DllGetClassObject. A missing class or key is
 * REGDB_E_CLASSNOTREG; a library that cannot be loaded gives
 * HRESULT_FROM_WIN32 of LoadLibraryA's error (for instance 0x8007007E for a
 * missing file); a library without DllGetClassObject gives CO_E_ERRORINDLL;
 * otherwise the server's own result is returned. Objects are always called
 * directly: apartments are counted per thread (CoInitializeEx nesting,
 * RPC_E_CHANGED_MODE) but never marshal. A thread that has not initialised
 * COM gets CO_E_NOTINITIALIZED, unless another thread of the process is in
 * the multithreaded apartment (Windows' implicit MTA). Server libraries stay
 * loaded until CoFreeUnusedLibraries finds their DllCanUnloadNow returning
 * S_OK, whatever their ThreadingModel (Windows waits ten minutes before it
 * unloads a "Both" or "Free" server); CoUninitialize unloads nothing.
 */
#ifndef WINPLAT_NATIVE_COM_H
#define WINPLAT_NATIVE_COM_H

#include "winplat/native/types.h"

#define CLSCTX_INPROC_SERVER 0x1u
#define CLSCTX_INPROC_HANDLER 0x2u
#define CLSCTX_LOCAL_SERVER 0x4u
#define CLSCTX_ALL 0x17u

#define COINIT_MULTITHREADED 0x0u
#define COINIT_APARTMENTTHREADED 0x2u
#define COINIT_DISABLE_OLE1DDE 0x4u
#define COINIT_SPEED_OVER_MEMORY 0x8u

#define CHARS_IN_GUID 39

#ifdef __cplusplus
struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;
};

struct IClassFactory : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                                     void** ppvObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;
};
#else
typedef struct IUnknown IUnknown;
typedef struct IUnknownVtbl {
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(IUnknown* This, REFIID riid, void** ppvObject);
    ULONG(STDMETHODCALLTYPE* AddRef)(IUnknown* This);
    ULONG(STDMETHODCALLTYPE* Release)(IUnknown* This);
} IUnknownVtbl;
struct IUnknown {
    const IUnknownVtbl* lpVtbl;
};

typedef struct IClassFactory IClassFactory;
typedef struct IClassFactoryVtbl {
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(IClassFactory* This, REFIID riid,
                                               void** ppvObject);
    ULONG(STDMETHODCALLTYPE* AddRef)(IClassFactory* This);
    ULONG(STDMETHODCALLTYPE* Release)(IClassFactory* This);
    HRESULT(STDMETHODCALLTYPE* CreateInstance)(IClassFactory* This, IUnknown* pUnkOuter,
                                               REFIID riid, void** ppvObject);
    HRESULT(STDMETHODCALLTYPE* LockServer)(IClassFactory* This, BOOL fLock);
} IClassFactoryVtbl;
struct IClassFactory {
    const IClassFactoryVtbl* lpVtbl;
};
#endif
typedef IUnknown* LPUNKNOWN;
typedef IClassFactory* LPCLASSFACTORY;

WINPLAT_BEGIN_DECLS

WINPLAT_API extern const IID IID_IUnknown;
WINPLAT_API extern const IID IID_IClassFactory;
WINPLAT_API extern const GUID GUID_NULL;

WINPLAT_API HRESULT STDAPICALLTYPE CoInitialize(LPVOID pvReserved);
WINPLAT_API HRESULT STDAPICALLTYPE CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
WINPLAT_API void STDAPICALLTYPE CoUninitialize(void);
WINPLAT_API HRESULT STDAPICALLTYPE CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext,
                                                    LPVOID pvReserved, REFIID riid, LPVOID* ppv);
WINPLAT_API HRESULT STDAPICALLTYPE CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter,
                                                    DWORD dwClsContext, REFIID riid, LPVOID* ppv);
WINPLAT_API void STDAPICALLTYPE CoFreeUnusedLibraries(void);
WINPLAT_API HRESULT STDAPICALLTYPE CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);
WINPLAT_API HRESULT STDAPICALLTYPE CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
WINPLAT_API int STDAPICALLTYPE StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
WINPLAT_API BOOL STDAPICALLTYPE winplat_IsEqualGUID(const GUID* a, const GUID* b);

/* Exported by in-process servers (declared here as Windows' objbase.h
 * declares them). */
HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
HRESULT STDAPICALLTYPE DllCanUnloadNow(void);

WINPLAT_END_DECLS

#ifdef __cplusplus
inline BOOL IsEqualGUID(REFGUID a, REFGUID b) { return winplat_IsEqualGUID(&a, &b); }
inline BOOL IsEqualIID(REFIID a, REFIID b) { return winplat_IsEqualGUID(&a, &b); }
inline BOOL IsEqualCLSID(REFCLSID a, REFCLSID b) { return winplat_IsEqualGUID(&a, &b); }
inline bool operator==(REFGUID a, REFGUID b) { return winplat_IsEqualGUID(&a, &b) != 0; }
inline bool operator!=(REFGUID a, REFGUID b) { return !(a == b); }
#else
#define IsEqualGUID(a, b) winplat_IsEqualGUID((a), (b))
#define IsEqualIID(a, b) winplat_IsEqualGUID((a), (b))
#define IsEqualCLSID(a, b) winplat_IsEqualGUID((a), (b))
#endif

#endif /* WINPLAT_NATIVE_COM_H */
