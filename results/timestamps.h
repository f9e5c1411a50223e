// The reports' times (RFC 3339) as milliseconds since 1970, and back to the
// calendar for grouping by day or shift. All in UTC.
#ifndef RESULTS_TIMESTAMPS_H
#define RESULTS_TIMESTAMPS_H

#include <cstdint>
#include <string>

namespace results_store {

// "2026-12-08T04:39:38.622Z", "...+01:00", or a date alone ("2026-12-08",
// midnight UTC); false for anything else.
bool TimestampMs(const std::string &text, int64_t &ms);
// "2026-12-08" of an instant.
std::string DayOf(int64_t ms);
// The hour of the day (0 to 23) of an instant.
int HourOf(int64_t ms);
// The time now as RFC 3339 with milliseconds.
std::string NowText();

} // namespace results_store

#endif
