#include "kernels/service_ticks.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "kernels/data_error.hpp"

namespace norvane::kernels {

namespace {

inline unsigned char *field_at(const TickTarget &t, std::size_t i) {
    return t.base + static_cast<std::ptrdiff_t>(i) * t.stride + static_cast<std::ptrdiff_t>(t.offset);
}

inline void store_u32(const TickTarget &t, std::size_t i, std::uint32_t v) {
    std::memcpy(field_at(t, i), &v, sizeof v);
}
inline void store_f64(const TickTarget &t, std::size_t i, double v) { std::memcpy(field_at(t, i), &v, sizeof v); }

// Loop with the element load chosen once per column (the common float64 / int64 / uint32
// columns), or through the generic scalar reader otherwise.
template <class Load>
void copy_with(Load load, std::size_t n, const TickTarget &out) {
    if (out.type == TickOut::F64) {
        for (std::size_t i = 0; i < n; ++i)
            store_f64(out, i, to_double(load(i)));
    } else {
        for (std::size_t i = 0; i < n; ++i)
            store_u32(out, i, to_uint32(load(i)));
    }
}

}  // namespace

void copy_tick_column(const ColumnView &in, std::size_t n, const TickTarget &out) {
    const unsigned char *p = in.data;
    const std::ptrdiff_t s = in.stride;
    if (!in.swap && in.itemsize == 8 && in.kind == NumKind::Float) {
        copy_with([&](std::size_t i) {
            double v;
            std::memcpy(&v, p + static_cast<std::ptrdiff_t>(i) * s, 8);
            return Scalar{Scalar::F, 0, 0, v};
        }, n, out);
    } else if (!in.swap && in.itemsize == 8 && in.kind == NumKind::Int) {
        copy_with([&](std::size_t i) {
            std::int64_t v;
            std::memcpy(&v, p + static_cast<std::ptrdiff_t>(i) * s, 8);
            return Scalar{Scalar::I, v, 0, 0.0};
        }, n, out);
    } else if (!in.swap && in.itemsize == 4 && in.kind == NumKind::UInt) {
        copy_with([&](std::size_t i) {
            std::uint32_t v;
            std::memcpy(&v, p + static_cast<std::ptrdiff_t>(i) * s, 4);
            return Scalar{Scalar::U, 0, v, 0.0};
        }, n, out);
    } else {
        copy_with([&](std::size_t i) { return read_scalar(in, i); }, n, out);
    }
}

void copy_tick_columns(const ColumnView *in, const TickTarget *out, std::size_t k, std::size_t n) {
    constexpr std::size_t kBlock = 64;  // 64 records of the tick layout (~14 KB) and their inputs stay in L1
    for (std::size_t start = 0; start < n; start += kBlock) {
        const std::size_t count = std::min(kBlock, n - start);
        const std::ptrdiff_t row = static_cast<std::ptrdiff_t>(start);
        for (std::size_t j = 0; j < k; ++j) {
            ColumnView c = in[j];
            c.data += row * c.stride;
            TickTarget t = out[j];
            t.base += row * t.stride;
            copy_tick_column(c, count, t);
        }
    }
}

bool stamp_unit(const char *code, StampUnit &unit) {
    constexpr std::int64_t us_per_day = 86400LL * 1000000LL;
    const std::string c(code);
    if (c == "D")
        unit = {1, us_per_day, 1};
    else if (c == "h")
        unit = {24, 3600LL * 1000000LL, 1};
    else if (c == "m")
        unit = {1440, 60LL * 1000000LL, 1};
    else if (c == "s")
        unit = {86400, 1000000, 1};
    else if (c == "ms")
        unit = {86400LL * 1000, 1000, 1};
    else if (c == "us")
        unit = {us_per_day, 1, 1};
    else if (c == "ns")
        unit = {us_per_day * 1000, 1, 1000};
    else
        return false;
    return true;
}

void write_date_time(const ColumnView &stamps, std::size_t n, const StampUnit &unit, const TickTarget &date,
                     const TickTarget &time) {
    if (stamps.itemsize != 8 || stamps.kind != NumKind::Int)
        throw DataError("time stamps must be 64-bit integers");
    if (unit.ticks_per_day <= 0 || unit.us_mul <= 0 || unit.us_div <= 0)
        throw DataError("invalid time stamp unit");
    const std::int64_t per_day = unit.ticks_per_day;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t v = static_cast<std::int64_t>(
            load_raw<std::uint64_t>(stamps.data + static_cast<std::ptrdiff_t>(i) * stamps.stride, stamps.swap));
        if (v == std::numeric_limits<std::int64_t>::min())
            throw DataError("orig_time has a missing time stamp (NaT) at row " + std::to_string(i));
        // Floor division: stamps before 1970 still give the time of day of their own date.
        std::int64_t days = v / per_day, rem = v % per_day;
        if (rem < 0) {
            rem += per_day;
            days -= 1;
        }
        // Years 1 to 9999 lie within 3e6 days of 1970; anything further is refused before the
        // calendar arithmetic below, which would overflow near the ends of int64 (a day unit).
        if (days < -3000000 || days > 3000000)
            throw DataError("orig_time at row " + std::to_string(i) + " lies outside the years 1 to 9999");
        // Days since 1970-01-01 to the civil date (proleptic Gregorian calendar).
        const std::int64_t z = days + 719468;
        const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
        const std::int64_t doe = z - era * 146097;
        const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
        const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
        const std::int64_t mp = (5 * doy + 2) / 153;
        const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
        const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
        const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
        if (year < 1 || year > 9999)
            throw DataError("orig_time at row " + std::to_string(i) + " lies outside the years 1 to 9999");
        // rem is less than a day, so rem * us_mul is at most a day of microseconds (or of ns): no overflow.
        const std::int64_t us = rem * unit.us_mul / unit.us_div;
        const std::int64_t secs = us / 1000000;
        const std::int64_t hh = secs / 3600, mm = secs / 60 % 60, ss = secs % 60;
        const std::int64_t ms = us % 1000000 / 1000;
        const std::uint64_t date_number = static_cast<std::uint64_t>(year * 10000 + month * 100 + day);
        const std::uint64_t time_number = static_cast<std::uint64_t>(hh * 10000000 + mm * 100000 + ss * 1000 + ms);
        if (date.type == TickOut::U32)
            store_u32(date, i, static_cast<std::uint32_t>(date_number));
        else
            store_f64(date, i, static_cast<double>(date_number));
        if (time.type == TickOut::U32)
            store_u32(time, i, static_cast<std::uint32_t>(time_number));
        else
            store_f64(time, i, static_cast<double>(time_number));
    }
}

}  // namespace norvane::kernels
