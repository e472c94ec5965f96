/*
 * Horolog: the process-wide timer service.
 *
 * What a client and the library share: the timer parameter record that a
 * client fills and hands to IHorolog::StartTimer, the client's callback
 * interface ITimerSite, the manager's interface IHorolog, their identifiers,
 * the result codes and the notification code. Usable from C and C++.
 *
 * The record belongs to the client, which keeps it alive and in place while
 * its timer is active; the library keeps only a pointer to it.
 */
#ifndef HOROLOG_HOROLOG_H
#define HOROLOG_HOROLOG_H

#include "winplat/winapi.h"

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define HOROLOG_EXTERN_C extern "C"
#else
#define HOROLOG_EXTERN_C extern
#endif

/* ---- identifiers ------------------------------------------------------- */

/* {6A3C51E2-7D94-4B1F-9E08-2C5D7B6A1F30}: the manager's class. */
HOROLOG_EXTERN_C const CLSID CLSID_Horolog;
/* {B84E2F17-3C65-4A9D-8F21-5E0C9D3B7A42} */
HOROLOG_EXTERN_C const IID IID_IHorolog;
/* {0D5F7A93-E1B2-4C68-A4F5-93B1C2E8D654}: registered only; nobody implements it. */
HOROLOG_EXTERN_C const IID IID_IHorologSite;
/* {F29B6C04-58AE-4E37-B1D9-07A4E6C3B285} */
HOROLOG_EXTERN_C const IID IID_ITimerSite;

/* ---- codes ------------------------------------------------------------- */

/* A thread message that starts an absolute timer could not be posted. */
#define E_TIMERFAILURE ((HRESULT)0x80044D9FL)
/* StartTimer with a zero id or with an id that is already queued. */
#define E_TIMERIDINVALID ((HRESULT)0x80044DA0L)

/* The event code of every ITimerSite::OnTimer call. */
#define TIMER_EVENT_EXPIRED 1201

/* Values of TIMERPARAMETERS::dwTimerType. */
#define TIMERTYPE_RELATIVE 0
#define TIMERTYPE_ABSOLUTE 1

/* ---- the timer parameter record ---------------------------------------- */

#ifdef __cplusplus
struct ITimerSite;
#else
typedef struct ITimerSite ITimerSite;
#endif

typedef struct _TIMERPARAMETERS {
    DWORD dwTimerId;       /* nonzero id, normally from IHorolog::GetTimerId */
    LPVOID pContext;       /* client block of at least 360 read/write bytes */
    ITimerSite* pSite;     /* notified on expiry; may be null */
    LONG lInterval;        /* repeat interval (ms) of a repeating relative timer */
    FILETIME ftDueTime;    /* due time of an absolute timer */
    BOOL bRepeat;          /* a relative timer is re-queued after each expiry */
    DWORD dwTimerType;     /* TIMERTYPE_RELATIVE or TIMERTYPE_ABSOLUTE */
    WORD wReserved;        /* written 0 by the library */
    HANDLE hWaitableTimer; /* library: the waitable timer of an absolute timer */
    LONG lRemaining;       /* ms until a relative timer is due; negative when late */
    BOOL bJustQueued;      /* library: set on start, cleared by the next time pass */
} TIMERPARAMETERS, *LPTIMERPARAMETERS;

/* The size of a block that TIMERPARAMETERS::pContext must point to. */
#define TIMER_CONTEXT_SIZE 360

/* On 32-bit targets the record is an interface format of 48 bytes. */
#if UINTPTR_MAX == 0xFFFFFFFFu
#ifdef __cplusplus
#define HOROLOG_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define HOROLOG_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif
HOROLOG_STATIC_ASSERT(offsetof(TIMERPARAMETERS, dwTimerId) == 0, "dwTimerId at 0");
HOROLOG_STATIC_ASSERT(offsetof(TIMERPARAMETERS, pContext) == 4, "pContext at 4");
HOROLOG_STATIC_ASSERT(offsetof(TIMERPARAMETERS, pSite) == 8, "pSite at 8");
HOROLOG_STATIC_ASSERT(offsetof(TIMERPARAMETERS, lInterval) == 12, "lInterval at 12");
HOROLOG_STATIC_ASSERT(offsetof(TIMERPARAMETERS, ftDueTime) == 16, "ftDueTime at 16");
HOROLOG_STATIC_ASSERT(offsetof(TIMERPARAMETERS, bRepeat) == 24, "bRepeat at 24");
HOROLOG_STATIC_ASSERT(offsetof(TIMERPARAMETERS, dwTimerType) == 28, "dwTimerType at 28");
HOROLOG_STATIC_ASSERT(offsetof(TIMERPARAMETERS, wReserved) == 32, "wReserved at 32");
HOROLOG_STATIC_ASSERT(offsetof(TIMERPARAMETERS, hWaitableTimer) == 36, "hWaitableTimer at 36");
HOROLOG_STATIC_ASSERT(offsetof(TIMERPARAMETERS, lRemaining) == 40, "lRemaining at 40");
HOROLOG_STATIC_ASSERT(offsetof(TIMERPARAMETERS, bJustQueued) == 44, "bJustQueued at 44");
HOROLOG_STATIC_ASSERT(sizeof(TIMERPARAMETERS) == 48, "TIMERPARAMETERS is 48 bytes");
#undef HOROLOG_STATIC_ASSERT
#endif

/* ---- interfaces -------------------------------------------------------- */

#ifdef __cplusplus

/* The client's callback interface. */
struct ITimerSite : public IUnknown {
    /* dwEvent is always TIMER_EVENT_EXPIRED; the result is ignored. */
    virtual HRESULT STDMETHODCALLTYPE OnTimer(DWORD dwTimerId, DWORD dwEvent) = 0;
};

/* The timer manager. */
struct IHorolog : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetTimerId(DWORD* pdwTimerId) = 0;
    /* Unused slot: always E_NOTIMPL. */
    virtual HRESULT STDMETHODCALLTYPE ReservedMethod(DWORD dw1, DWORD dw2, DWORD dw3, DWORD dw4,
                                                     DWORD dw5, DWORD dw6, DWORD dw7, DWORD dw8,
                                                     DWORD dw9, DWORD dw10, DWORD dw11, DWORD dw12,
                                                     DWORD dw13) = 0;
    virtual HRESULT STDMETHODCALLTYPE StartTimer(TIMERPARAMETERS* pTimerParameters) = 0;
    virtual HRESULT STDMETHODCALLTYPE StopTimer(DWORD dwTimerId) = 0;
    virtual HRESULT STDMETHODCALLTYPE PauseTimers(void) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResumeTimers(void) = 0;
};

#else /* C */

typedef struct ITimerSiteVtbl {
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(ITimerSite* This, REFIID riid, void** ppvObject);
    ULONG(STDMETHODCALLTYPE* AddRef)(ITimerSite* This);
    ULONG(STDMETHODCALLTYPE* Release)(ITimerSite* This);
    HRESULT(STDMETHODCALLTYPE* OnTimer)(ITimerSite* This, DWORD dwTimerId, DWORD dwEvent);
} ITimerSiteVtbl;
struct ITimerSite {
    const ITimerSiteVtbl* lpVtbl;
};

typedef struct IHorolog IHorolog;
typedef struct IHorologVtbl {
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(IHorolog* This, REFIID riid, void** ppvObject);
    ULONG(STDMETHODCALLTYPE* AddRef)(IHorolog* This);
    ULONG(STDMETHODCALLTYPE* Release)(IHorolog* This);
    HRESULT(STDMETHODCALLTYPE* GetTimerId)(IHorolog* This, DWORD* pdwTimerId);
    HRESULT(STDMETHODCALLTYPE* ReservedMethod)
    (IHorolog* This, DWORD dw1, DWORD dw2, DWORD dw3, DWORD dw4, DWORD dw5, DWORD dw6, DWORD dw7,
     DWORD dw8, DWORD dw9, DWORD dw10, DWORD dw11, DWORD dw12, DWORD dw13);
    HRESULT(STDMETHODCALLTYPE* StartTimer)(IHorolog* This, TIMERPARAMETERS* pTimerParameters);
    HRESULT(STDMETHODCALLTYPE* StopTimer)(IHorolog* This, DWORD dwTimerId);
    HRESULT(STDMETHODCALLTYPE* PauseTimers)(IHorolog* This);
    HRESULT(STDMETHODCALLTYPE* ResumeTimers)(IHorolog* This);
} IHorologVtbl;
struct IHorolog {
    const IHorologVtbl* lpVtbl;
};

#endif /* C */

#endif /* HOROLOG_HOROLOG_H */
