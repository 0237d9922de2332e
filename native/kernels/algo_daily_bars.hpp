// Daily VWAP / TWAP / volume of an intraday window, computed from an instrument's minute bars in
// one pass. Pure C++: columns in (any numeric type, byte order, stride), per-day values out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/numeric_column.hpp"

namespace norvane::kernels {

// One trading date of the minute file's `index` whose bars start at `line_no`.
struct IndexRecord {
    std::int64_t date;
    std::int64_t line_no;
};

// The `index` records whose date is >= `start_date`, in file order.
std::vector<IndexRecord> kept_index_records(const ColumnView &date, const ColumnView &line_no, std::size_t n,
                                            std::int64_t start_date);

// The six minute-bar columns, rows first_row .. first_row + n_rows - 1 of `data`.
struct MinuteColumns {
    ColumnView orig_time, close, volume, turnover, high, low;
    std::size_t n_rows = 0;
    std::int64_t first_row = 0;
};

// Sums and tests of the price rules, for one day's bars inside the window.
struct DayPrices {
    std::size_t count = 0;       // bars inside the window
    double turnover_sum = 0.0;   // NaN skipped
    double volume_sum = 0.0;     // NaN skipped
    double close_sum = 0.0;      // NaN skipped
    std::size_t close_count = 0;
    bool all_flat = true;        // every bar has high == low
    bool one_price = true;       // every high equals the first bar's high
    double first_high = 0.0;

    void add(double close, double volume, double turnover, double high, double low) {
        if (count == 0)
            first_high = high;
        ++count;
        if (turnover == turnover)
            turnover_sum += turnover;
        if (volume == volume)
            volume_sum += volume;
        if (close == close) {
            close_sum += close;
            ++close_count;
        }
        all_flat = all_flat && high == low;
        one_price = one_price && high == first_high;
    }
    // Limit-price day: all bars flat at a single price (NaN highs are never flat).
    bool limit_price() const { return count > 0 && all_flat && one_price; }
    double twap() const;
    // VWAP by the formula when the volume sum is not zero; the caller handles a zero sum.
    bool needs_zero_divisor_rule() const { return !limit_price() && volume_sum == 0.0; }
    double vwap(double contract_multiplier) const;
};

// Daily record of one kept trading date.
struct AlgoDay {
    std::int64_t date = 0;
    DayPrices prices;
    std::uint64_t volume = 0;          // window volume, cast to uint64 as the record type stores it
    std::size_t kept_begin = 0;        // range of this day's rows in AlgoResult::kept_rows
    std::size_t kept_end = 0;
};

struct AlgoResult {
    std::vector<AlgoDay> days;             // one per kept index record, in order
    std::size_t kept_total = 0;            // bars inside the window over all days
    std::vector<std::int64_t> kept_rows;   // row numbers (in `data`) inside the window, if asked for
};

// Labels rows with their trading date (index line_no blocks), applies the window [start_min,
// end_min] (HHMM, both inclusive) on each bar's own calendar date, and accumulates per trading
// date. Throws DataError when the index blocks do not fit the rows given.
AlgoResult algo_daily_bars(const std::vector<IndexRecord> &days, const MinuteColumns &cols, std::int64_t start_min,
                           std::int64_t end_min, bool keep_rows);

// The VWAP rule on one day's bars given as plain columns (used for a one-day table).
DayPrices day_prices(const ColumnView &volume, const ColumnView &turnover, const ColumnView &high,
                     const ColumnView &low, std::size_t n);

}  // namespace norvane::kernels
