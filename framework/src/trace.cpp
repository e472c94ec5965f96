#include <cstdarg>
#include <cstdio>

#include "afx/afxbase.h"

void AfxTrace(const char* lpszFormat, ...) {
    if (lpszFormat == nullptr) return;
    char buffer[1024];
    va_list args;
    va_start(args, lpszFormat);
    int n = std::vsnprintf(buffer, sizeof buffer, lpszFormat, args);
    va_end(args);
    if (n < 0) return;
    ::OutputDebugStringA(buffer);
}

int AfxTraceUnevaluated(const char*, ...) { return 0; }
