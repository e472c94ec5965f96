/*
 * The one platform header. Everything in this tree that needs a Win32 or COM
 * service includes this file and nothing else of the platform.
 *
 * On Windows it is the system's own headers. Elsewhere it is the platform
 * layer in platform/native: the same names, types and documented behaviour
 * for the subset of Win32 and COM that Horolog and its tests use, supplied by
 * one shared library (libwinplat) that every module of a process shares, as
 * every module of a Windows process shares kernel32, user32, advapi32 and
 * ole32.
 */
#ifndef WINPLAT_WINAPI_H
#define WINPLAT_WINAPI_H

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <objbase.h>
#include <unknwn.h>
#define WINPLAT_NATIVE 0
#else
#define WINPLAT_NATIVE 1
#include "winplat/native/types.h"
#include "winplat/native/kernel.h"
#include "winplat/native/registry.h"
#include "winplat/native/module.h"
#include "winplat/native/com.h"
#endif

#endif /* WINPLAT_WINAPI_H */
