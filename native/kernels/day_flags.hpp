// Day flags: which trading days of a calendar carry a flag, and which flagged days the calendar
// lacks. Values are integer counts of a time unit since the epoch (numpy datetime64 layout).
// Pure C++: no Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "kernels/numeric_column.hpp"

namespace norvane::kernels {

inline constexpr std::int64_t kNaT = std::numeric_limits<std::int64_t>::min();
inline constexpr std::int64_t kNsPerDay = 86400LL * 1000000000LL;

// Days since 1970-01-01 of a proleptic Gregorian date (any year), or false for an invalid date.
bool civil_to_days(std::int64_t year, int month, int day, std::int64_t &days);

// Midnight, in nanoseconds since the epoch, of day number `days`; false when that midnight is
// outside what a nanosecond timestamp holds (1677-09-22 .. 2262-04-11).
bool day_to_ns(std::int64_t days, std::int64_t &ns);

// Midnight of the day holding `ns` nanoseconds since the epoch; false for NaT and for a day whose
// midnight a nanosecond timestamp cannot hold.
bool normalise_ns(std::int64_t ns, std::int64_t &midnight);

// "YYYY-MM-DD" (exactly ten characters) to the nanosecond midnight of that date; false for any
// other text and for dates a nanosecond timestamp cannot hold.
bool parse_iso_day(const char *text, std::size_t length, std::int64_t &ns);

// Normalises n numeric values to the nanosecond midnight of their day. `unit_ns` is 0 when a value
// counts nanoseconds as a plain number (integers exactly, floats only when integral), or the
// nanoseconds of one unit of a datetime64 column (its NaT is not normalised). out[i] is valid where
// ok[i] is 1; where it is 0 the caller must convert the value itself.
void normalise_column(const ColumnView &column, std::size_t n, std::int64_t unit_ns, std::int64_t *out,
                      std::uint8_t *ok);

// Marks the calendar: flags[i] = 1 where index[i] equals one of the keys (all in the same unit);
// keys missing from the index are appended to `extras` once each, in their first-seen order.
void mark_days(const std::int64_t *index, std::size_t n, const std::int64_t *keys, std::size_t k,
               std::uint8_t *flags, std::vector<std::int64_t> &extras);

}  // namespace norvane::kernels
