/*
 * Native platform layer: modules (the loader).
 *
 * A module is a shared library built with horolog_add_module(): it carries
 * an entry object that, when the library is mapped, hands its DllMain to the
 * platform layer, which calls it with DLL_PROCESS_ATTACH. If that returns
 * FALSE, LoadLibraryA unmaps the library again and fails with
 * ERROR_DLL_INIT_FAILED, so nothing of the library stays usable. The module
 * file name is the shared object's file name (for instance "Horolog.so").
 */
#ifndef WINPLAT_NATIVE_MODULE_H
#define WINPLAT_NATIVE_MODULE_H

#include "winplat/native/types.h"

WINPLAT_BEGIN_DECLS

#define DLL_PROCESS_DETACH 0u
#define DLL_PROCESS_ATTACH 1u
#define DLL_THREAD_ATTACH 2u
#define DLL_THREAD_DETACH 3u

#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001u
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002u
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004u

typedef BOOL(WINAPI* PDLLMAIN)(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved);

WINPLAT_API HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
WINPLAT_API BOOL WINAPI FreeLibrary(HMODULE hLibModule);
WINPLAT_API FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
WINPLAT_API HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName);
WINPLAT_API BOOL WINAPI GetModuleHandleExA(DWORD dwFlags, LPCSTR lpModuleName, HMODULE* phModule);
WINPLAT_API DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);

/* Called by a module's entry object (platform/native/dllentry.cpp) from the
 * shared object's constructor and destructor. `anchor` is any address
 * inside the module. Not for direct use. */
WINPLAT_API void winplat_module_attach(const void* anchor, PDLLMAIN dll_main);
WINPLAT_API void winplat_module_detach(const void* anchor, PDLLMAIN dll_main);

WINPLAT_END_DECLS

#endif /* WINPLAT_NATIVE_MODULE_H */
