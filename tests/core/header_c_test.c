/* A client written in C: it implements ITimerSite through its own function
 * table and drives the manager through IHorolog's, so that the C view of the
 * public header is checked against the C++ objects behind it. */
#include "horolog/horolog.h"

#include <string.h>

typedef struct CSite {
    ITimerSite iface; /* first: an ITimerSite* is a CSite* */
    LONG refs;
    LONG calls;
    DWORD lastId;
    DWORD lastEvent;
    HANDLE notified;
} CSite;

static HRESULT STDMETHODCALLTYPE CSite_QueryInterface(ITimerSite* This, REFIID riid, void** ppv) {
    (void)riid;
    (void)This;
    *ppv = NULL;
    return E_NOINTERFACE;
}
static ULONG STDMETHODCALLTYPE CSite_AddRef(ITimerSite* This) {
    return (ULONG)++((CSite*)This)->refs;
}
static ULONG STDMETHODCALLTYPE CSite_Release(ITimerSite* This) {
    return (ULONG)--((CSite*)This)->refs;
}
static HRESULT STDMETHODCALLTYPE CSite_OnTimer(ITimerSite* This, DWORD id, DWORD event) {
    CSite* site = (CSite*)This;
    site->lastId = id;
    site->lastEvent = event;
    site->calls++;
    SetEvent(site->notified);
    return S_OK;
}

static const ITimerSiteVtbl kSiteVtbl = {CSite_QueryInterface, CSite_AddRef, CSite_Release,
                                         CSite_OnTimer};

/* Returns 0 when every step behaved, else the number of the first step that
 * did not. */
int DriveHorologFromC(IHorolog* h) {
    /* Static: the scheduler still releases the site just after the call
     * that this function waits for, and the record must live as long. */
    static CSite site;
    static TIMERPARAMETERS timer;
    static unsigned char context[TIMER_CONTEXT_SIZE];
    IHorolog* same = NULL;
    DWORD id = 0;
    int result = 0;

    memset(&site, 0, sizeof site);
    site.iface.lpVtbl = &kSiteVtbl;
    site.refs = 1;
    site.notified = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!site.notified) return 1;

    if (h->lpVtbl->QueryInterface(h, &IID_IHorolog, (void**)&same) != S_OK || same != h) {
        result = 2;
        goto done;
    }
    if (h->lpVtbl->Release(h) != 1) { /* the caller holds one reference */
        result = 3;
        goto done;
    }
    if (h->lpVtbl->ReservedMethod(h, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13) != E_NOTIMPL) {
        result = 4;
        goto done;
    }
    if (h->lpVtbl->GetTimerId(h, &id) != S_OK || id == 0) {
        result = 5;
        goto done;
    }

    memset(&timer, 0, sizeof timer);
    timer.dwTimerId = id;
    timer.pContext = context;
    timer.pSite = &site.iface;
    timer.lRemaining = 0;
    timer.dwTimerType = TIMERTYPE_RELATIVE;
    if (h->lpVtbl->StartTimer(h, &timer) != S_OK) {
        result = 6;
        goto done;
    }
    if (WaitForSingleObject(site.notified, 10000) != WAIT_OBJECT_0) {
        result = 7;
        goto done;
    }
    if (site.lastId != id || site.lastEvent != TIMER_EVENT_EXPIRED || site.calls != 1) {
        result = 8;
        goto done;
    }
    if (h->lpVtbl->StopTimer(h, id) != S_OK || h->lpVtbl->PauseTimers(h) != S_OK ||
        h->lpVtbl->ResumeTimers(h) != S_OK) {
        result = 9;
        goto done;
    }

done:
    CloseHandle(site.notified);
    return result;
}
