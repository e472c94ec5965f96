// Interface of the test modules built from testmod.cpp.
#ifndef TESTS_FRAMEWORK_TESTMOD_H
#define TESTS_FRAMEWORK_TESTMOD_H

#include "winplat/winapi.h"

struct TestModuleInfo {
    const char* appName;
    void* app;
    void* moduleState;
    HINSTANCE instance;
    BOOL startupFailed;
    LONG initCalls;
    LONG exitCalls;
};

#if defined(_WIN32)
#define TESTMOD_EXPORT __declspec(dllexport)
#else
#define TESTMOD_EXPORT __attribute__((visibility("default")))
#endif

// Each module's exports carry its name, so that natively both can be linked
// into one program.
typedef void (*TestModuleQueryFn)(TestModuleInfo*);
typedef HRESULT (*TestModuleLockFn)(BOOL);

#endif  // TESTS_FRAMEWORK_TESTMOD_H
