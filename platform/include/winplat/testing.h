/*
 * Test-only controls of the native platform layer. They exist only in the
 * native build (the real Windows clock and loader cannot be steered), and
 * shipped code never calls them. Tests that need them are native-only.
 */
#ifndef WINPLAT_TESTING_H
#define WINPLAT_TESTING_H

#include "winplat/winapi.h"

#if WINPLAT_NATIVE
WINPLAT_BEGIN_DECLS

/* Makes GetTickCount() return `value` now and count on from there, so that
 * a test can start the tick count just before its 32-bit wrap. */
WINPLAT_API void winplat_test_set_tick_count(DWORD value);

/* Moves the wall clock (GetSystemTimeAsFileTime and absolute waitable-timer
 * due times) by `offset_100ns` from the real one. Armed absolute timers
 * follow the change, as Windows' waitable timers do. */
WINPLAT_API void winplat_test_set_wall_clock_offset(LONGLONG offset_100ns);

/* The number of open handles of the process (what GetProcessHandleCount
 * tells on Windows), for soak runs that watch for leaks. */
WINPLAT_API DWORD winplat_test_handle_count(void);

/* Makes the nth registry change from now fail with `error` and change
 * nothing; 1 is the next one, 0 cancels a failure still to come. Changes are
 * the calls of RegCreateKeyExA, RegSetValueExA, RegDeleteKeyA and
 * RegDeleteValueA, counted process-wide. */
WINPLAT_API void winplat_test_fail_registry_change(DWORD nth, LONG error);

WINPLAT_END_DECLS
#endif

#endif /* WINPLAT_TESTING_H */
