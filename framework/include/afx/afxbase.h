// Basic definitions shared by every part of the class framework: the
// visibility of framework functions and the debug trace macros.
#ifndef AFX_AFXBASE_H
#define AFX_AFXBASE_H

#include "winplat/winapi.h"

// Every module links its own copy of the framework. Natively, a function
// declared with default visibility could be bound to another module's copy
// at run time; AFX_API keeps each module's calls inside the module.
#if defined(_WIN32)
#define AFX_API
#define AFX_PRINTF_LIKE(fmt, args)
#else
#define AFX_API __attribute__((visibility("hidden")))
#define AFX_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

// Writes a formatted line through OutputDebugStringA. Long texts are cut at
// 1 KiB. Use the TRACE macros rather than calling this directly.
AFX_API void AfxTrace(const char* lpszFormat, ...) AFX_PRINTF_LIKE(1, 2);

// Release builds evaluate nothing: the arguments only appear in an
// unevaluated operand, so they count as used and emit no code.
AFX_API int AfxTraceUnevaluated(const char* lpszFormat, ...);

#ifndef NDEBUG
#define TRACE(...) AfxTrace(__VA_ARGS__)
#define TRACE0(text) AfxTrace("%s", text)
#else
#define TRACE(...) ((void)sizeof(AfxTraceUnevaluated(__VA_ARGS__)))
#define TRACE0(text) ((void)sizeof(AfxTraceUnevaluated(text)))
#endif
#define TRACE1(fmt, a) TRACE(fmt, a)
#define TRACE2(fmt, a, b) TRACE(fmt, a, b)
#define TRACE3(fmt, a, b, c) TRACE(fmt, a, b, c)

#endif  // AFX_AFXBASE_H
