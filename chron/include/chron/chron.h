// The product's time library: a point in time (Chron) and a span (ChronSpan),
// both with 100-nanosecond resolution, so that a time taken from a FILETIME
// and the current time compare exactly: a waitable timer that signals on time
// is never judged early by a coarser clock.
#ifndef CHRON_CHRON_H
#define CHRON_CHRON_H

#include <cstdint>

#include "winplat/winapi.h"

#if defined(_WIN32)
#if defined(CHRON_BUILD)
#define CHRON_API __declspec(dllexport)
#else
#define CHRON_API __declspec(dllimport)
#endif
#else
#define CHRON_API __attribute__((visibility("default")))
#endif

// A signed length of time in 100-nanosecond units.
class CHRON_API ChronSpan {
  public:
    ChronSpan() = default;
    ChronSpan(long days, int hours, int minutes, int seconds, unsigned long milliseconds);

    // The span in 100-nanosecond units.
    int64_t Ticks() const { return m_ticks; }

  private:
    int64_t m_ticks = 0;
};

// A point in time, kept as UTC in 100-nanosecond units since 1 January 1601
// (the FILETIME epoch). A default-constructed Chron is empty: it holds the
// epoch itself and compares before every real time.
class CHRON_API Chron {
  public:
    // How the FILETIME constructor reads its argument.
    enum : int16_t {
        kLocal = 0,  // the FILETIME holds local time
        kUtc = 1,    // the FILETIME holds UTC
    };

    Chron() = default;
    // `ft` is read as UTC when `kind` is kUtc, else as local time, converted to
    // UTC with the zone's rules; `dst` then says whether daylight saving time
    // is in effect at that time (1), not (0), or is to be worked out (-1), as
    // with the C library's tm_isdst. For UTC, `dst` is not used.
    Chron(const FILETIME& ft, int16_t kind, int32_t dst);
    Chron(const Chron&) = default;
    Chron& operator=(const Chron&) = default;
    virtual ~Chron();

    // The current time (UTC), at the platform clock's full resolution.
    static Chron GetTickCount();

    Chron operator+(ChronSpan span) const;
    Chron operator-(ChronSpan span) const;
    int operator<(Chron other) const { return m_ticks < other.m_ticks; }
    int operator<=(Chron other) const { return m_ticks <= other.m_ticks; }
    int operator>=(Chron other) const { return m_ticks >= other.m_ticks; }

    // 100-nanosecond units since 1 January 1601, UTC.
    uint64_t Ticks() const { return m_ticks; }

  private:
    explicit Chron(uint64_t ticks) : m_ticks(ticks) {}

    uint64_t m_ticks = 0;
};

#endif  // CHRON_CHRON_H
