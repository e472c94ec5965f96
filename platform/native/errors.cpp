// Per-thread last error and the debugging helpers.
#include "internal.h"

#include <cstdio>

namespace {
thread_local DWORD t_last_error = ERROR_SUCCESS;
}

extern "C" {

DWORD WINAPI GetLastError(void) { return t_last_error; }

VOID WINAPI SetLastError(DWORD dwErrCode) { t_last_error = dwErrCode; }

VOID WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
    if (lpOutputString == nullptr) return;
    std::fputs(lpOutputString, stderr);
    std::fflush(stderr);
}

BOOL WINAPI IsDebuggerPresent(void) { return FALSE; }

}  // extern "C"
