// Tick counts and the wall clock.
#include "internal.h"
#include "winplat/testing.h"

#include <atomic>

namespace winplat {
namespace {

// Added to the monotonic milliseconds for GetTickCount only (test control).
std::atomic<int64_t> g_tick_offset{0};
// Added to the real UTC clock (test control).
std::atomic<LONGLONG> g_wall_offset{0};

// Milliseconds on the monotonic clock; on Linux its origin is the boot, as
// the tick count's is on Windows.
uint64_t monotonic_ms() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now().time_since_epoch())
            .count());
}

}  // namespace

LONGLONG wall_clock_offset_100ns() { return g_wall_offset.load(); }

LONGLONG wall_clock_100ns() {
    const auto since_unix_epoch = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return kUnixEpochIn100ns + since_unix_epoch.count() / 100 + g_wall_offset.load();
}

void set_wall_clock_offset(LONGLONG offset_100ns) { g_wall_offset.store(offset_100ns); }

}  // namespace winplat

using namespace winplat;

extern "C" {

DWORD WINAPI GetTickCount(void) {
    return static_cast<DWORD>(monotonic_ms() + static_cast<uint64_t>(g_tick_offset.load()));
}

ULONGLONG WINAPI GetTickCount64(void) { return monotonic_ms(); }

VOID WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
    if (lpSystemTimeAsFileTime == nullptr) return;
    const auto now = static_cast<ULONGLONG>(wall_clock_100ns());
    lpSystemTimeAsFileTime->dwLowDateTime = static_cast<DWORD>(now);
    lpSystemTimeAsFileTime->dwHighDateTime = static_cast<DWORD>(now >> 32);
}

void winplat_test_set_tick_count(DWORD value) {
    // Chosen so that the low 32 bits of (monotonic + offset) read `value` now.
    g_tick_offset.store(static_cast<int64_t>(value) - static_cast<int64_t>(monotonic_ms()));
}

}  // extern "C"
