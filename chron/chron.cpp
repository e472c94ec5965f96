#include "chron/chron.h"

#include <ctime>
#include <limits>

namespace {

constexpr int64_t kTicksPerMillisecond = 10'000;
constexpr int64_t kTicksPerSecond = 1000 * kTicksPerMillisecond;
// 1601-01-01 to 1970-01-01 in seconds.
constexpr int64_t kEpochDifferenceSeconds = 11'644'473'600LL;

uint64_t FromFileTime(const FILETIME& ft) {
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// Adds a signed span to a time, saturating at the ends of the range rather
// than wrapping into a time on the other side of it.
uint64_t AddSaturating(uint64_t ticks, int64_t span) {
    if (span >= 0) {
        uint64_t room = std::numeric_limits<uint64_t>::max() - ticks;
        return static_cast<uint64_t>(span) > room ? std::numeric_limits<uint64_t>::max()
                                                  : ticks + static_cast<uint64_t>(span);
    }
    uint64_t magnitude = static_cast<uint64_t>(-(span + 1)) + 1;
    return magnitude > ticks ? 0 : ticks - magnitude;
}

// Local time to UTC, with the C library's zone rules.
uint64_t LocalToUtc(uint64_t local_ticks, int32_t dst) {
    int64_t seconds = static_cast<int64_t>(local_ticks / kTicksPerSecond) - kEpochDifferenceSeconds;
    uint64_t fraction = local_ticks % kTicksPerSecond;
    std::time_t as_if_utc = static_cast<std::time_t>(seconds);
    std::tm parts{};
#if defined(_WIN32)
    if (gmtime_s(&parts, &as_if_utc) != 0) return local_ticks;
#else
    if (gmtime_r(&as_if_utc, &parts) == nullptr) return local_ticks;
#endif
    parts.tm_isdst = dst < 0 ? -1 : (dst > 0 ? 1 : 0);
    std::time_t utc = std::mktime(&parts);
    if (utc == static_cast<std::time_t>(-1)) return local_ticks;
    int64_t utc_ticks = (static_cast<int64_t>(utc) + kEpochDifferenceSeconds) * kTicksPerSecond;
    return utc_ticks < 0 ? 0 : static_cast<uint64_t>(utc_ticks) + fraction;
}

}  // namespace

ChronSpan::ChronSpan(long days, int hours, int minutes, int seconds, unsigned long milliseconds) {
    int64_t total_seconds =
        ((static_cast<int64_t>(days) * 24 + hours) * 60 + minutes) * 60 + seconds;
    m_ticks =
        total_seconds * kTicksPerSecond + static_cast<int64_t>(milliseconds) * kTicksPerMillisecond;
}

Chron::Chron(const FILETIME& ft, int16_t kind, int32_t dst)
    : m_ticks(kind == kUtc ? FromFileTime(ft) : LocalToUtc(FromFileTime(ft), dst)) {}

Chron::~Chron() = default;

Chron Chron::GetTickCount() {
    FILETIME now;
#if defined(_WIN32)
    // The coarse system time lags by up to a clock tick, which would make a
    // timer that signals on time look early.
    GetSystemTimePreciseAsFileTime(&now);
#else
    GetSystemTimeAsFileTime(&now);
#endif
    return Chron(FromFileTime(now));
}

Chron Chron::operator+(ChronSpan span) const { return Chron(AddSaturating(m_ticks, span.Ticks())); }

Chron Chron::operator-(ChronSpan span) const {
    int64_t ticks = span.Ticks();
    int64_t negated =
        ticks == std::numeric_limits<int64_t>::min() ? std::numeric_limits<int64_t>::max() : -ticks;
    return Chron(AddSaturating(m_ticks, negated));
}
