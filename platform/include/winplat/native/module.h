/*
 * Native platform layer: modules (the loader).
 *
 * A module is a shared library built with horolog_add_module(): it carries
 * an entry object that, when the library is mapped, hands its DllMain (if it
 * defines one) to the platform layer.
 *
 * - LoadLibraryA runs DLL_PROCESS_ATTACH (lpReserved null) for the module
 *   and every module it depends on that it mapped, dependencies first, once
 *   all their static objects are constructed. If one returns FALSE it is
 *   sent DLL_PROCESS_DETACH at once (as Windows does), the library is
 *   unmapped again and LoadLibraryA fails with ERROR_DLL_INIT_FAILED, so
 *   nothing of it stays usable. A missing file fails with
 *   ERROR_MOD_NOT_FOUND, a file that is no shared library with
 *   ERROR_BAD_EXE_FORMAT.
 * - A module linked into the executable (or mapped by a plain dlopen) gets
 *   DLL_PROCESS_ATTACH (lpReserved non-null) from its constructor. If that
 *   returns FALSE the process prints why and exits with status 127: Windows
 *   does not start a process whose DLL fails to initialise.
 * - DLL_PROCESS_DETACH runs once per attach: when FreeLibrary releases the
 *   last reference taken by LoadLibraryA / GetModuleHandleExA (lpReserved
 *   null), when the module is unmapped with a module that needed it
 *   (lpReserved null), or at process exit (lpReserved non-null); always
 *   before the module's static objects are destroyed.
 * - There are no DLL_THREAD_ATTACH / DLL_THREAD_DETACH notifications.
 * - DllMain runs under the loader lock, as on Windows.
 * - Modules are loaded with LoadLibraryA or linked at start-up. A plain
 *   dlopen of a module while another thread uses these functions may
 *   deadlock: the dynamic linker's lock and the loader lock are then taken
 *   in opposite orders.
 *
 * An HMODULE (and the HINSTANCE passed to DllMain) is the address at which
 * the shared object is mapped (dladdr's dli_fbase): stable while it stays
 * loaded, and the same in every module of the process. GetModuleHandleA(NULL)
 * is the executable's. The module file name is the shared object's file
 * name (for instance "Horolog.so"); names are compared without regard to
 * case, a name without an extension gets ".so", a Windows name ("X.dll")
 * also finds "X.so" (so that code written for both platforms can use the
 * Windows name), and a bare name is looked for among the loaded modules,
 * then in the executable's directory, then by the dynamic linker's search,
 * then in the current directory. GetModuleFileNameA gives the full,
 * canonical path. Exports are found by name only (no ordinals), and only
 * in the module itself, not in the libraries it depends on.
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

/* Called by a module's entry object (platform/native/entry/dllentry.cpp)
 * from the shared object's constructor, and from its destructor and an
 * exit-time guard (the second report of the same unmapping is ignored).
 * `anchor` is an address inside the module, the same in both calls;
 * `dll_main` may be null. Not for direct use. */
WINPLAT_API void winplat_module_attach(const void* anchor, PDLLMAIN dll_main);
WINPLAT_API void winplat_module_detach(const void* anchor, PDLLMAIN dll_main);

WINPLAT_END_DECLS

#endif /* WINPLAT_NATIVE_MODULE_H */
