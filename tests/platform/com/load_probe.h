// A record of what the test modules' entry points and static objects saw.
// It lives in a plain shared library of its own that the test programs and
// the test modules link, so that it outlives every module it observes.
//
// When the environment variable WINPLAT_PROBE_FILE names a file, each event
// is also appended to it as a line at once, so that a child process can
// report what happened up to its very end.
#ifndef TESTS_PLATFORM_COM_LOAD_PROBE_H
#define TESTS_PLATFORM_COM_LOAD_PROBE_H

#include <cstddef>

#if defined(_WIN32) && defined(LOAD_PROBE_BUILD)
#define LOAD_PROBE_API extern "C" __declspec(dllexport)
#elif defined(_WIN32)
#define LOAD_PROBE_API extern "C" __declspec(dllimport)
#else
#define LOAD_PROBE_API extern "C" __attribute__((visibility("default")))
#endif

// Appends an event ("module:what").
LOAD_PROBE_API void probe_record(const char* event);
// Forgets every event.
LOAD_PROBE_API void probe_clear(void);
// Number of events recorded.
LOAD_PROBE_API int probe_size(void);
// Copies event `index` into `buffer`; false when there is none.
LOAD_PROBE_API bool probe_event(int index, char* buffer, size_t size);

// Makes the named module's DllMain fail its process attach (or not).
LOAD_PROBE_API void probe_set_attach_failure(const char* module, bool fail);
LOAD_PROBE_API bool probe_attach_should_fail(const char* module);

#endif  // TESTS_PLATFORM_COM_LOAD_PROBE_H
