#include "kernels/tick_window_sort.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace norvane::kernels {

namespace {

// A key whose unsigned order is the numeric order of the value within one column type.
inline std::uint64_t order_key(const Scalar &s) {
    switch (s.tag) {
    case Scalar::I: return static_cast<std::uint64_t>(s.i) ^ (1ULL << 63);
    case Scalar::U: return s.u;
    default: {
        if (std::isnan(s.f))
            return ~0ULL;  // after +inf, all NaNs equal
        const double d = s.f == 0.0 ? 0.0 : s.f;  // -0.0 equals 0.0
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(d);
        return (bits >> 63) ? ~bits : bits | (1ULL << 63);
    }
    }
}

inline bool in_window(const Scalar &s, std::int64_t lower, std::int64_t upper) {
    switch (s.tag) {
    case Scalar::I: return s.i >= lower && s.i <= upper;
    case Scalar::U:
        return s.u >= static_cast<std::uint64_t>(lower) && s.u <= static_cast<std::uint64_t>(upper);
    default:  // NaN fails both tests, as an element-wise comparison does
        return s.f >= static_cast<double>(lower) && s.f <= static_cast<double>(upper);
    }
}

// Reorders `perm` (positions into `keys`) stably by key: LSD radix sort, 11 bits a pass, over
// only the bits that vary; positions of equal keys keep their relative order.
void stable_radix(std::vector<std::size_t> &perm, const std::vector<std::uint64_t> &keys) {
    const std::size_t n = perm.size();
    std::uint64_t varying = 0;
    for (std::size_t i = 1; i < n; ++i)
        varying |= keys[i] ^ keys[0];
    if (!varying)
        return;
    const int top = 64 - std::countl_zero(varying);
    std::vector<std::size_t> next(n);
    constexpr int kBits = 11;
    constexpr std::uint64_t kMask = (1u << kBits) - 1;
    for (int shift = std::countr_zero(varying); shift < top; shift += kBits) {
        std::size_t counts[1u << kBits] = {};
        for (std::size_t i = 0; i < n; ++i)
            ++counts[(keys[perm[i]] >> shift) & kMask];
        std::size_t sum = 0;
        for (auto &c : counts) {
            const std::size_t k = c;
            c = sum;
            sum += k;
        }
        for (std::size_t i = 0; i < n; ++i)
            next[counts[(keys[perm[i]] >> shift) & kMask]++] = perm[i];
        perm.swap(next);
    }
}

}  // namespace

std::vector<std::size_t> tick_window_order(const ColumnView &date, const ColumnView &time, std::size_t rows,
                                           std::int64_t lower, std::int64_t upper) {
    std::vector<std::size_t> kept;
    std::vector<std::uint64_t> time_keys, date_keys;
    kept.reserve(rows);
    time_keys.reserve(rows);
    date_keys.reserve(rows);
    bool sorted = true, one_date = true;
    for (std::size_t r = 0; r < rows; ++r) {
        const Scalar t = read_scalar(time, r);
        if (!in_window(t, lower, upper))
            continue;
        const std::uint64_t tk = order_key(t), dk = order_key(read_scalar(date, r));
        if (!kept.empty()) {
            const std::uint64_t pd = date_keys.back(), pt = time_keys.back();
            one_date = one_date && dk == pd;
            sorted = sorted && (dk > pd || (dk == pd && tk >= pt));
        }
        kept.push_back(r);
        time_keys.push_back(tk);
        date_keys.push_back(dk);
    }
    if (sorted)
        return kept;
    std::vector<std::size_t> perm(kept.size());
    for (std::size_t i = 0; i < perm.size(); ++i)
        perm[i] = i;
    // By time, then stably by date: the order is (date, time), ties in file order.
    stable_radix(perm, time_keys);
    if (!one_date)
        stable_radix(perm, date_keys);
    std::vector<std::size_t> order(perm.size());
    for (std::size_t i = 0; i < perm.size(); ++i)
        order[i] = kept[perm[i]];
    return order;
}

}  // namespace norvane::kernels
