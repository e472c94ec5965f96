/*
 * A component written in C. It reaches the manager and implements its own
 * timer site through the interfaces' function tables (lpVtbl), as COM
 * headers conventionally allow, and checks what it sees:
 *
 *   - GetHorolog hands out a manager (COM activation of the registered
 *     class), QueryInterface and the reference counts answer as COM says;
 *   - the codes of the header come back for a null record, a zero id and
 *     the reserved slot;
 *   - a relative timer and an absolute timer filled in from C expire once
 *     each, with their id and TIMER_EVENT_EXPIRED, and the library gives
 *     back every reference it took on the site.
 *
 * Natively the class is registered in the registry named by
 * WINPLAT_REGISTRY (the test sets a folder of its own); on Windows in the
 * machine's, one test program at a time (the same named mutex as the
 * server suites). Exit code 0 when every check held.
 */
#include "horolog/server.h"

#include <stdio.h>
#include <string.h>

#if WINPLAT_NATIVE
#define HOROLOG_FILE "Horolog.so"
#else
#define HOROLOG_FILE "Horolog.dll"
#endif

static int g_checks;
static int g_failures;

static void check(int ok, const char* what) {
    ++g_checks;
    if (!ok) {
        ++g_failures;
        printf("c client: FAILED: %s\n", what);
    }
}

/* ---- a timer site in C ------------------------------------------------- */

typedef struct CSite {
    ITimerSite iface; /* first: a pointer to the site is a pointer to this */
    volatile LONG refs;
    HANDLE hFired; /* set by every expiry */
    DWORD lastId;
    DWORD lastEvent;
    LONG calls;
} CSite;

static HRESULT STDMETHODCALLTYPE Site_QueryInterface(ITimerSite* This, REFIID riid,
                                                     void** ppvObject) {
    if (ppvObject == NULL) return E_POINTER;
    if (IsEqualIID(riid, &IID_IUnknown) || IsEqualIID(riid, &IID_ITimerSite)) {
        *ppvObject = This;
        This->lpVtbl->AddRef(This);
        return S_OK;
    }
    *ppvObject = NULL;
    return E_NOINTERFACE;
}

static ULONG STDMETHODCALLTYPE Site_AddRef(ITimerSite* This) {
    CSite* site = (CSite*)This;
    return (ULONG)__atomic_add_fetch(&site->refs, 1, __ATOMIC_SEQ_CST);
}

static ULONG STDMETHODCALLTYPE Site_Release(ITimerSite* This) {
    CSite* site = (CSite*)This;
    return (ULONG)__atomic_sub_fetch(&site->refs, 1, __ATOMIC_SEQ_CST);
}

static HRESULT STDMETHODCALLTYPE Site_OnTimer(ITimerSite* This, DWORD dwTimerId, DWORD dwEvent) {
    CSite* site = (CSite*)This;
    site->lastId = dwTimerId;
    site->lastEvent = dwEvent;
    __atomic_add_fetch(&site->calls, 1, __ATOMIC_SEQ_CST);
    SetEvent(site->hFired);
    return S_OK;
}

static const ITimerSiteVtbl kSiteVtbl = {Site_QueryInterface, Site_AddRef, Site_Release,
                                         Site_OnTimer};

static void site_init(CSite* site) {
    memset(site, 0, sizeof *site);
    site->iface.lpVtbl = &kSiteVtbl;
    site->refs = 1; /* the owner's */
    site->hFired = CreateEventA(NULL, FALSE, FALSE, NULL);
}

/* ---- the module's registration ------------------------------------------ */

static HRESULT call_registration(const char* entry) {
    HMODULE module = GetModuleHandleA(HOROLOG_FILE);
    PFN_DLLREGISTERSERVER pfn;
    if (module == NULL) return E_FAIL;
    pfn = (PFN_DLLREGISTERSERVER)(void (*)(void))GetProcAddress(module, entry);
    return pfn != NULL ? pfn() : E_FAIL;
}

/* ---- the checks ----------------------------------------------------------- */

/* How long an expiry may take on a loaded machine, far beyond its due time. */
#define EXPIRY_LIMIT_MS 10000

/* The sites outlive the manager: the references the library took on them
 * are checked once it is gone and its threads have ended. */
static CSite g_relativeSite;
static CSite g_absoluteSite;

static void check_relative_timer(IHorolog* horolog) {
    CSite* site = &g_relativeSite;
    static unsigned char context[TIMER_CONTEXT_SIZE];
    TIMERPARAMETERS timer;
    HRESULT hr;

    memset(&timer, 0, sizeof timer);
    hr = horolog->lpVtbl->GetTimerId(horolog, &timer.dwTimerId);
    check(hr == S_OK && timer.dwTimerId != 0, "GetTimerId hands out a nonzero id");
    timer.pContext = context;
    timer.pSite = &site->iface;
    timer.dwTimerType = TIMERTYPE_RELATIVE;
    timer.lRemaining = 20;
    hr = horolog->lpVtbl->StartTimer(horolog, &timer);
    check(hr == S_OK, "StartTimer of a relative timer succeeds");
    if (hr == S_OK) {
        check(WaitForSingleObject(site->hFired, EXPIRY_LIMIT_MS) == WAIT_OBJECT_0,
              "the relative timer expires");
        check(site->lastId == timer.dwTimerId, "OnTimer names the relative timer's id");
        check(site->lastEvent == TIMER_EVENT_EXPIRED, "OnTimer passes TIMER_EVENT_EXPIRED");
        /* Harmless after the expiry. */
        check(horolog->lpVtbl->StopTimer(horolog, timer.dwTimerId) == S_OK, "StopTimer: S_OK");
    }
}

static void check_absolute_timer(IHorolog* horolog) {
    CSite* site = &g_absoluteSite;
    static unsigned char context[TIMER_CONTEXT_SIZE];
    TIMERPARAMETERS timer;
    FILETIME now;
    ULONGLONG due;
    HRESULT hr;

    memset(&timer, 0, sizeof timer);
    horolog->lpVtbl->GetTimerId(horolog, &timer.dwTimerId);
    timer.pContext = context;
    timer.pSite = &site->iface;
    timer.dwTimerType = TIMERTYPE_ABSOLUTE;
    GetSystemTimeAsFileTime(&now);
    due = (((ULONGLONG)now.dwHighDateTime << 32) | now.dwLowDateTime) + 50 * 10000; /* +50 ms */
    timer.ftDueTime.dwLowDateTime = (DWORD)due;
    timer.ftDueTime.dwHighDateTime = (DWORD)(due >> 32);
    hr = horolog->lpVtbl->StartTimer(horolog, &timer);
    check(hr == S_OK, "StartTimer of an absolute timer succeeds");
    if (hr == S_OK) {
        check(WaitForSingleObject(site->hFired, EXPIRY_LIMIT_MS) == WAIT_OBJECT_0,
              "the absolute timer expires");
        check(site->lastId == timer.dwTimerId, "OnTimer names the absolute timer's id");
        check(site->lastEvent == TIMER_EVENT_EXPIRED, "OnTimer passes TIMER_EVENT_EXPIRED");
    }
}

static void check_manager(IHorolog* horolog) {
    IHorolog* again = NULL;
    IUnknown* unknown = NULL;
    HRESULT hr;
    TIMERPARAMETERS timer;
    static unsigned char context[TIMER_CONTEXT_SIZE];

    hr = horolog->lpVtbl->QueryInterface(horolog, &IID_IHorolog, (void**)&again);
    check(hr == S_OK && again == horolog, "QueryInterface for IHorolog yields the manager");
    if (again != NULL) check(again->lpVtbl->Release(again) == 1, "Release returns the new count");
    hr = horolog->lpVtbl->QueryInterface(horolog, &IID_ITimerSite, (void**)&unknown);
    check(hr == E_NOINTERFACE && unknown == NULL, "QueryInterface for another interface fails");

    check(horolog->lpVtbl->StartTimer(horolog, NULL) == E_POINTER, "a null record: E_POINTER");
    memset(&timer, 0, sizeof timer);
    timer.pContext = context;
    check(horolog->lpVtbl->StartTimer(horolog, &timer) == E_TIMERIDINVALID,
          "a zero id: E_TIMERIDINVALID");
    check(horolog->lpVtbl->ReservedMethod(horolog, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13) ==
              E_NOTIMPL,
          "the reserved slot: E_NOTIMPL");
    check(horolog->lpVtbl->StopTimer(horolog, 12345) == S_OK, "stopping an unknown id: S_OK");
}

int main(void) {
    IHorolog* horolog;
    HRESULT hr;
#if !WINPLAT_NATIVE
    /* The registry is the machine's: one test program at a time. */
    HANDLE turn = CreateMutexA(NULL, FALSE, "Horolog-server-tests-registry");
    WaitForSingleObject(turn, 10 * 60 * 1000);
#endif

    site_init(&g_relativeSite);
    site_init(&g_absoluteSite);
    hr = CoInitialize(NULL);
    check(SUCCEEDED(hr), "CoInitialize");
    check(call_registration("DllRegisterServer") == S_OK, "DllRegisterServer");

    horolog = GetHorolog();
    check(horolog != NULL, "GetHorolog creates the manager");
    if (horolog != NULL) {
        check_manager(horolog);
        check_relative_timer(horolog);
        check_absolute_timer(horolog);
        check(horolog->lpVtbl->Release(horolog) == 0, "the last Release destroys the manager");
        /* Its threads have ended: nothing calls the sites any more. */
        check(g_relativeSite.calls == 1 && g_absoluteSite.calls == 1, "each timer expired once");
        check(g_relativeSite.refs == 1 && g_absoluteSite.refs == 1,
              "the library gave back every reference it took on the sites");
    }
    CloseHandle(g_relativeSite.hFired);
    CloseHandle(g_absoluteSite.hFired);

    check(call_registration("DllUnregisterServer") == S_OK, "DllUnregisterServer");
    if (SUCCEEDED(hr)) CoUninitialize();
#if !WINPLAT_NATIVE
    ReleaseMutex(turn);
    CloseHandle(turn);
#endif
    printf("c client: %d of %d checks passed\n", g_checks - g_failures, g_checks);
    return g_failures == 0 ? 0 : 1;
}
