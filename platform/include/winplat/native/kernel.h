/*
 * Native platform layer: kernel and user services (handles, events, threads,
 * waits, time, thread message queues, waitable timers).
 *
 * Each function behaves as Windows documents it, including the error codes
 * left for GetLastError. Named objects share one namespace per process
 * (Windows shares it per session).
 */
#ifndef WINPLAT_NATIVE_KERNEL_H
#define WINPLAT_NATIVE_KERNEL_H

#include "winplat/native/types.h"

WINPLAT_BEGIN_DECLS

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

/* Error codes that only these services report. */
#define ERROR_GEN_FAILURE 31L
#define ERROR_NOT_OWNER 288L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_NOT_ENOUGH_QUOTA 1816L

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef VOID(CALLBACK* PTIMERAPCROUTINE)(LPVOID lpArgToCompletionRoutine, DWORD dwTimerLowValue,
                                         DWORD dwTimerHighValue);
typedef VOID(CALLBACK* PAPCFUNC)(ULONG_PTR dwParam);

/* ---- errors ----------------------------------------------------------- */
WINPLAT_API DWORD WINAPI GetLastError(void);
WINPLAT_API VOID WINAPI SetLastError(DWORD dwErrCode);

/* ---- handles ---------------------------------------------------------- */
WINPLAT_API BOOL WINAPI CloseHandle(HANDLE hObject);

/* ---- events and mutexes ----------------------------------------------- */
WINPLAT_API HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                       BOOL bInitialState, LPCSTR lpName);
WINPLAT_API BOOL WINAPI SetEvent(HANDLE hEvent);
WINPLAT_API BOOL WINAPI ResetEvent(HANDLE hEvent);
WINPLAT_API HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                                       LPCSTR lpName);
WINPLAT_API BOOL WINAPI ReleaseMutex(HANDLE hMutex);

/* ---- waits ------------------------------------------------------------ */
WINPLAT_API DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
WINPLAT_API DWORD WINAPI WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds,
                                               BOOL bAlertable);
WINPLAT_API DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles,
                                                BOOL bWaitAll, DWORD dwMilliseconds);
WINPLAT_API DWORD WINAPI MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles,
                                                   BOOL fWaitAll, DWORD dwMilliseconds,
                                                   DWORD dwWakeMask);
WINPLAT_API DWORD WINAPI MsgWaitForMultipleObjectsEx(DWORD nCount, const HANDLE* pHandles,
                                                     DWORD dwMilliseconds, DWORD dwWakeMask,
                                                     DWORD dwFlags);
WINPLAT_API VOID WINAPI Sleep(DWORD dwMilliseconds);
WINPLAT_API DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL bAlertable);

/* ---- threads ---------------------------------------------------------- */
WINPLAT_API HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                                       LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                       DWORD dwCreationFlags, LPDWORD lpThreadId);
WINPLAT_API DWORD WINAPI GetCurrentThreadId(void);
/* A pseudo-handle meaning "the calling thread", accepted where a thread
 * handle is used; closing it does nothing. */
WINPLAT_API HANDLE WINAPI GetCurrentThread(void);
WINPLAT_API DWORD WINAPI GetThreadId(HANDLE Thread);
WINPLAT_API BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
WINPLAT_API DWORD WINAPI ResumeThread(HANDLE hThread); /* only for CREATE_SUSPENDED */
WINPLAT_API BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority);
WINPLAT_API DWORD WINAPI QueueUserAPC(PAPCFUNC pfnAPC, HANDLE hThread, ULONG_PTR dwData);

/* ---- time ------------------------------------------------------------- */
WINPLAT_API DWORD WINAPI GetTickCount(void);
WINPLAT_API ULONGLONG WINAPI GetTickCount64(void);
WINPLAT_API VOID WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);

/* ---- thread message queues -------------------------------------------- */
WINPLAT_API BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam);
WINPLAT_API BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                                     UINT wRemoveMsg);
WINPLAT_API BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
WINPLAT_API BOOL WINAPI TranslateMessage(const MSG* lpMsg);
WINPLAT_API LRESULT WINAPI DispatchMessageA(const MSG* lpMsg);
WINPLAT_API VOID WINAPI PostQuitMessage(int nExitCode);

/* ---- waitable timers -------------------------------------------------- */
WINPLAT_API HANDLE WINAPI CreateWaitableTimerA(LPSECURITY_ATTRIBUTES lpTimerAttributes,
                                               BOOL bManualReset, LPCSTR lpTimerName);
WINPLAT_API BOOL WINAPI SetWaitableTimer(HANDLE hTimer, const LARGE_INTEGER* lpDueTime,
                                         LONG lPeriod, PTIMERAPCROUTINE pfnCompletionRoutine,
                                         LPVOID lpArgToCompletionRoutine, BOOL fResume);
WINPLAT_API BOOL WINAPI CancelWaitableTimer(HANDLE hTimer);

/* ---- debugging -------------------------------------------------------- */
WINPLAT_API VOID WINAPI OutputDebugStringA(LPCSTR lpOutputString);
WINPLAT_API BOOL WINAPI IsDebuggerPresent(void);

WINPLAT_END_DECLS

#endif /* WINPLAT_NATIVE_KERNEL_H */
