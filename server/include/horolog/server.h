/*
 * The exports of the Horolog module, for the components that use it.
 *
 * GetHorolog is the way in: it returns the process's one timer manager with
 * a reference for the caller (who gives it back with Release), creating the
 * manager through COM activation of its registered class when none exists
 * yet; null when it cannot be created (the class is not registered, or COM
 * is not initialised on the calling thread). Components link against it by
 * name.
 *
 * The four standard exports of an in-process COM server are for the COM
 * runtime and the registration tools, which find them by name; the function
 * types below are for callers that look them up.
 */
#ifndef HOROLOG_SERVER_H
#define HOROLOG_SERVER_H

#include "horolog/horolog.h"

#if defined(_WIN32)
#if defined(HOROLOG_SERVER_BUILD)
#define HOROLOG_SERVER_API __declspec(dllexport)
#else
#define HOROLOG_SERVER_API __declspec(dllimport)
#endif
#else
#define HOROLOG_SERVER_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The C calling convention: a call without arguments is the same call under
 * every convention, and its name is undecorated on every target, in the
 * import library as in the export table. */
HOROLOG_SERVER_API IHorolog* GetHorolog(void);

typedef IHorolog* (*PFN_GETHOROLOG)(void);
typedef HRESULT(STDAPICALLTYPE* PFN_DLLGETCLASSOBJECT)(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
typedef HRESULT(STDAPICALLTYPE* PFN_DLLCANUNLOADNOW)(void);
typedef HRESULT(STDAPICALLTYPE* PFN_DLLREGISTERSERVER)(void);
typedef HRESULT(STDAPICALLTYPE* PFN_DLLUNREGISTERSERVER)(void);

#ifdef __cplusplus
}
#endif

#endif /* HOROLOG_SERVER_H */
