#include "kernels/algo_daily_bars.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "kernels/data_error.hpp"

namespace norvane::kernels {

namespace {

inline double load_double(const ColumnView &c, std::size_t i) { return to_double(read_scalar(c, i)); }

// start_min * 100 with the result held inside int64 (the comparisons below are against a time of
// day in [0, 1000000), so a clamped bound selects the same bars as the exact one).
inline std::int64_t window_offset(std::int64_t hhmm) {
    std::int64_t r;
    if (__builtin_mul_overflow(hhmm, std::int64_t{100}, &r))
        return hhmm < 0 ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
    return r;
}

bool is_integer_kind(const ColumnView &c) { return c.kind != NumKind::Float; }

bool native8(const ColumnView &c) { return c.itemsize == 8 && !c.swap; }
bool native_f8(const ColumnView &c) { return c.kind == NumKind::Float && native8(c); }

template <class T>
inline T load_native(const ColumnView &c, std::size_t i) {
    T v;
    std::memcpy(&v, c.data + static_cast<std::ptrdiff_t>(i) * c.stride, sizeof v);
    return v;
}

// Accumulates every kept day. FastTime: orig_time is a native 8-byte integer; FastValues: the five
// value columns are native float64.
template <bool FastTime, bool FastValues>
void scan(const std::vector<IndexRecord> &days, const MinuteColumns &cols, std::int64_t end_row,
          std::int64_t start_off, std::int64_t end_off, bool keep_rows, AlgoResult &out) {
    const std::int64_t first = cols.first_row;
    const bool int_time = FastTime || is_integer_kind(cols.orig_time);
    // Unsigned stamps take their time of day from their own value (one past int64 would not).
    const bool unsigned_time = cols.orig_time.kind == NumKind::UInt || cols.orig_time.kind == NumKind::Bool;
    const bool int_volume = !FastValues && is_integer_kind(cols.volume);
    const bool signed_volume = cols.volume.kind == NumKind::Int;
    // base + start <= t <= base + end with base = (t // 1000000) * 1000000 is the same as
    // start <= t mod 1000000 <= end (floor modulo), which cannot overflow.
    const double start_off_f = static_cast<double>(start_off), end_off_f = static_cast<double>(end_off);
    auto value = [](const ColumnView &c, std::size_t i) {
        if constexpr (FastValues)
            return load_native<double>(c, i);
        else
            return load_double(c, i);
    };

    for (std::size_t d = 0; d < days.size(); ++d) {
        AlgoDay &day = out.days[d];
        day.date = days[d].date;
        day.kept_begin = out.kept_rows.size();
        const std::int64_t lo = days[d].line_no;
        const std::int64_t hi = d + 1 < days.size() ? days[d + 1].line_no : end_row;
        std::int64_t vol_i = 0;
        std::uint64_t vol_u = 0;
        double vol_f = 0.0;
        for (std::int64_t r = lo; r < hi; ++r) {
            const std::size_t i = static_cast<std::size_t>(r - first);
            bool inside;
            if (int_time) {
                std::int64_t tod;
                if (unsigned_time) {
                    std::uint64_t t;
                    if constexpr (FastTime)
                        t = load_native<std::uint64_t>(cols.orig_time, i);
                    else
                        t = to_uint64(read_scalar(cols.orig_time, i));
                    tod = static_cast<std::int64_t>(t % 1000000);
                } else {
                    std::int64_t t;
                    if constexpr (FastTime)
                        t = load_native<std::int64_t>(cols.orig_time, i);
                    else
                        t = to_int64(read_scalar(cols.orig_time, i));
                    tod = t % 1000000;
                    if (tod < 0)
                        tod += 1000000;
                }
                inside = start_off <= tod && tod <= end_off;
            } else {
                // A stamp that is no number has no day (its floor division gives NaN): never inside.
                const double t = load_double(cols.orig_time, i);
                const double base = std::floor(t / 1000000.0) * 1000000.0;
                inside = std::isfinite(t) && base + start_off_f <= t && t <= base + end_off_f;
            }
            if (!inside)
                continue;
            double vd;
            if (int_volume) {
                const Scalar v = read_scalar(cols.volume, i);
                vd = to_double(v);
                if (signed_volume)
                    vol_i = static_cast<std::int64_t>(static_cast<std::uint64_t>(vol_i) + static_cast<std::uint64_t>(v.i));
                else
                    vol_u += v.u;
            } else {
                vd = value(cols.volume, i);
                if (vd == vd)
                    vol_f += vd;
            }
            day.prices.add(value(cols.close, i), vd, value(cols.turnover, i), value(cols.high, i), value(cols.low, i));
            if (keep_rows)
                out.kept_rows.push_back(r);
        }
        if (int_volume)
            day.volume = signed_volume ? static_cast<std::uint64_t>(vol_i) : vol_u;
        else
            day.volume = to_uint64(Scalar{Scalar::F, 0, 0, vol_f});  // truncation, as a float-to-u8 cast
        day.kept_end = out.kept_rows.size();
        out.kept_total += day.prices.count;
    }
}

}  // namespace

double DayPrices::twap() const {
    return close_count ? close_sum / static_cast<double>(close_count) : std::numeric_limits<double>::quiet_NaN();
}

double DayPrices::vwap(double contract_multiplier) const {
    if (limit_price())
        return first_high;  // the limit price itself, no arithmetic
    return (turnover_sum / volume_sum) / contract_multiplier;
}

std::vector<IndexRecord> kept_index_records(const ColumnView &date, const ColumnView &line_no, std::size_t n,
                                            std::int64_t start_date) {
    std::vector<IndexRecord> kept;
    for (std::size_t i = 0; i < n; ++i) {
        std::int64_t d = to_int64(read_scalar(date, i));
        if (d >= start_date)
            kept.push_back({d, to_int64(read_scalar(line_no, i))});
    }
    return kept;
}

AlgoResult algo_daily_bars(const std::vector<IndexRecord> &days, const MinuteColumns &cols, std::int64_t start_min,
                           std::int64_t end_min, bool keep_rows) {
    AlgoResult out;
    out.days.resize(days.size());
    if (days.empty())
        return out;
    // Day i owns rows [line_no[i], line_no[i + 1]) (the last day runs to the end); this is what a
    // forward fill of the dates set at each line_no gives. Blocks must be ordered and in range.
    const std::int64_t first = cols.first_row;
    std::int64_t end_row;
    if (cols.n_rows > static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max()) ||
        __builtin_add_overflow(first, static_cast<std::int64_t>(cols.n_rows), &end_row))
        throw DataError("minute rows: the rows read end beyond the largest row number");
    if (days.front().line_no != first)
        throw DataError("minute index: the first kept line_no does not match the rows read");
    // A trading date met twice would split its bars over two records of the same date.
    std::vector<std::int64_t> seen(days.size());
    for (std::size_t i = 0; i < days.size(); ++i)
        seen[i] = days[i].date;
    std::sort(seen.begin(), seen.end());
    const auto twice = std::adjacent_find(seen.begin(), seen.end());
    if (twice != seen.end())
        throw DataError("minute index: date " + std::to_string(*twice) + " appears twice");
    for (std::size_t i = 0; i < days.size(); ++i) {
        const std::int64_t ln = days[i].line_no;
        if (ln < first || ln > end_row || (i > 0 && ln < days[i - 1].line_no))
            throw DataError("minute index: line_no " + std::to_string(ln) + " of date " + std::to_string(days[i].date) +
                            " is out of order or beyond the data (" + std::to_string(end_row) + " rows)");
    }
    const std::int64_t start_off = window_offset(start_min), end_off = window_offset(end_min);
    // Files almost always hold native 8-byte times and float prices: that case gets loops without
    // per-value type dispatch; any other type goes through the generic reader.
    const bool fast_time = native8(cols.orig_time) && cols.orig_time.kind != NumKind::Float;
    const bool fast_values = native_f8(cols.close) && native_f8(cols.volume) && native_f8(cols.turnover) &&
                             native_f8(cols.high) && native_f8(cols.low);
    if (fast_time && fast_values)
        scan<true, true>(days, cols, end_row, start_off, end_off, keep_rows, out);
    else if (fast_time)
        scan<true, false>(days, cols, end_row, start_off, end_off, keep_rows, out);
    else
        scan<false, false>(days, cols, end_row, start_off, end_off, keep_rows, out);
    return out;
}

DayPrices day_prices(const ColumnView &volume, const ColumnView &turnover, const ColumnView &high,
                     const ColumnView &low, std::size_t n) {
    DayPrices p;
    for (std::size_t i = 0; i < n; ++i)
        p.add(0.0, load_double(volume, i), load_double(turnover, i), load_double(high, i), load_double(low, i));
    return p;
}

}  // namespace norvane::kernels
