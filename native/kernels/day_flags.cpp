#include "kernels/day_flags.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace norvane::kernels {

namespace {

// Nanosecond timestamps hold [INT64_MIN + 1, INT64_MAX]; these are the first and last whole days.
constexpr std::int64_t kFirstDay = -106751;  // 1677-09-22
constexpr std::int64_t kLastDay = 106750;    // 2262-04-11

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

}  // namespace

bool civil_to_days(std::int64_t y, int m, int d, std::int64_t &days) {
    static constexpr int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 1 || m > 12 || d < 1 || y < -10000000 || y > 10000000)
        return false;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (d > kMonthDays[m - 1] + (m == 2 && leap ? 1 : 0))
        return false;
    // Howard Hinnant's days_from_civil.
    y -= m <= 2;
    const std::int64_t era = floor_div(y, 400);
    const std::int64_t yoe = y - era * 400;
    const std::int64_t mp = (m + 9) % 12;
    const std::int64_t doy = (153 * mp + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    days = era * 146097 + doe - 719468;
    return true;
}

bool day_to_ns(std::int64_t days, std::int64_t &ns) {
    if (days < kFirstDay || days > kLastDay)
        return false;
    ns = days * kNsPerDay;
    return true;
}

bool normalise_ns(std::int64_t ns, std::int64_t &midnight) {
    if (ns == kNaT)
        return false;
    return day_to_ns(floor_div(ns, kNsPerDay), midnight);
}

bool parse_iso_day(const char *s, std::size_t len, std::int64_t &ns) {
    if (len != 10 || s[4] != '-' || s[7] != '-')
        return false;
    int digits[8];
    const int at[8] = {0, 1, 2, 3, 5, 6, 8, 9};
    for (int i = 0; i < 8; ++i) {
        const char c = s[at[i]];
        if (c < '0' || c > '9')
            return false;
        digits[i] = c - '0';
    }
    const int year = digits[0] * 1000 + digits[1] * 100 + digits[2] * 10 + digits[3];
    const int month = digits[4] * 10 + digits[5], day = digits[6] * 10 + digits[7];
    std::int64_t days;
    return civil_to_days(year, month, day, days) && day_to_ns(days, ns);
}

void normalise_column(const ColumnView &c, std::size_t n, std::int64_t unit_ns, std::int64_t *out,
                      std::uint8_t *ok) {
    for (std::size_t i = 0; i < n; ++i) {
        const Scalar v = read_scalar(c, i);
        bool good = false;
        std::int64_t midnight = 0;
        if (unit_ns > 0) {  // datetime64 counts: whole days of the unit, NaT left to the caller
            const std::int64_t raw = to_int64(v);
            if (raw != kNaT) {
                const std::int64_t per_day = kNsPerDay / unit_ns;
                good = day_to_ns(floor_div(raw, per_day), midnight);
            }
        } else if (v.tag == Scalar::I) {
            good = normalise_ns(v.i, midnight);
        } else if (v.tag == Scalar::U) {
            good = v.u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) &&
                   normalise_ns(static_cast<std::int64_t>(v.u), midnight);
        } else if (std::isfinite(v.f) && v.f == std::trunc(v.f) && std::fabs(v.f) < 9.2e18) {
            good = normalise_ns(static_cast<std::int64_t>(v.f), midnight);
        }
        out[i] = good ? midnight : 0;
        ok[i] = good ? 1 : 0;
    }
}

void mark_days(const std::int64_t *index, std::size_t n, const std::int64_t *keys, std::size_t k,
               std::uint8_t *flags, std::vector<std::int64_t> &extras) {
    std::vector<std::int64_t> sorted_keys(keys, keys + k);
    std::sort(sorted_keys.begin(), sorted_keys.end());
    sorted_keys.erase(std::unique(sorted_keys.begin(), sorted_keys.end()), sorted_keys.end());
    std::vector<std::int64_t> sorted_index(index, index + n);
    std::sort(sorted_index.begin(), sorted_index.end());

    for (std::size_t i = 0; i < n; ++i)
        flags[i] = std::binary_search(sorted_keys.begin(), sorted_keys.end(), index[i]) ? 1 : 0;

    // Keys missing from the calendar, each once, in the order of their first occurrence (a later
    // occurrence finds the row that the first one added).
    std::vector<std::pair<std::int64_t, std::size_t>> missing;
    for (std::size_t j = 0; j < k; ++j)
        if (!std::binary_search(sorted_index.begin(), sorted_index.end(), keys[j]))
            missing.emplace_back(keys[j], j);
    std::sort(missing.begin(), missing.end());
    missing.erase(std::unique(missing.begin(), missing.end(),
                              [](const auto &a, const auto &b) { return a.first == b.first; }),
                  missing.end());
    std::sort(missing.begin(), missing.end(), [](const auto &a, const auto &b) { return a.second < b.second; });
    for (const auto &entry : missing)
        extras.push_back(entry.first);
}

}  // namespace norvane::kernels
