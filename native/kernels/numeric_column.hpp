// Reading one numeric column of a (record) array, whatever its numpy type, byte order, offset
// and stride, and converting it to the type a result field needs. Pure C++: no Python.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace norvane::kernels {

enum class NumKind : std::uint8_t { Bool, Int, UInt, Float };

// A strided column: element i lives at data + i * stride and occupies itemsize bytes.
struct ColumnView {
    const unsigned char *data = nullptr;
    std::ptrdiff_t stride = 0;
    int itemsize = 0;    // 1, 2, 4, 8 (16 for long double)
    NumKind kind = NumKind::Float;
    bool swap = false;   // stored in the opposite byte order of this machine
};

// A value as read: exact for every integer type, double for floats.
struct Scalar {
    enum { I, U, F } tag;
    std::int64_t i;
    std::uint64_t u;
    double f;
};

inline double half_to_double(std::uint16_t h) {
    const int sign = (h >> 15) & 1, exp = (h >> 10) & 0x1f, mant = h & 0x3ff;
    double v;
    if (exp == 0)
        v = std::ldexp(static_cast<double>(mant), -24);
    else if (exp == 31)
        v = mant ? std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::infinity();
    else
        v = std::ldexp(static_cast<double>(mant | 0x400), exp - 25);
    return sign ? -v : v;
}

template <class U>
inline U load_raw(const unsigned char *p, bool swap) {
    U v;
    std::memcpy(&v, p, sizeof(U));  // unaligned-safe
    if (swap) {
        if constexpr (sizeof(U) == 2)
            v = __builtin_bswap16(v);
        else if constexpr (sizeof(U) == 4)
            v = __builtin_bswap32(v);
        else
            v = __builtin_bswap64(v);
    }
    return v;
}

inline Scalar read_scalar(const ColumnView &c, std::size_t i) {
    const unsigned char *p = c.data + static_cast<std::ptrdiff_t>(i) * c.stride;
    switch (c.kind) {
    case NumKind::Bool:
        return {Scalar::U, 0, static_cast<std::uint64_t>(*p != 0), 0.0};
    case NumKind::Int:
        switch (c.itemsize) {
        case 1: return {Scalar::I, static_cast<std::int8_t>(*p), 0, 0.0};
        case 2: return {Scalar::I, static_cast<std::int16_t>(load_raw<std::uint16_t>(p, c.swap)), 0, 0.0};
        case 4: return {Scalar::I, static_cast<std::int32_t>(load_raw<std::uint32_t>(p, c.swap)), 0, 0.0};
        default: return {Scalar::I, static_cast<std::int64_t>(load_raw<std::uint64_t>(p, c.swap)), 0, 0.0};
        }
    case NumKind::UInt:
        switch (c.itemsize) {
        case 1: return {Scalar::U, 0, *p, 0.0};
        case 2: return {Scalar::U, 0, load_raw<std::uint16_t>(p, c.swap), 0.0};
        case 4: return {Scalar::U, 0, load_raw<std::uint32_t>(p, c.swap), 0.0};
        default: return {Scalar::U, 0, load_raw<std::uint64_t>(p, c.swap), 0.0};
        }
    case NumKind::Float:
    default:
        switch (c.itemsize) {
        case 2: return {Scalar::F, 0, 0, half_to_double(load_raw<std::uint16_t>(p, c.swap))};
        case 4: return {Scalar::F, 0, 0, static_cast<double>(std::bit_cast<float>(load_raw<std::uint32_t>(p, c.swap)))};
        case 8: return {Scalar::F, 0, 0, std::bit_cast<double>(load_raw<std::uint64_t>(p, c.swap))};
        default: {  // native long double (never byte-swapped: refused by the glue)
            long double v;
            std::memcpy(&v, p, sizeof(long double));
            return {Scalar::F, 0, 0, static_cast<double>(v)};
        }
        }
    }
}

inline double to_double(const Scalar &s) {
    switch (s.tag) {
    case Scalar::I: return static_cast<double>(s.i);
    case Scalar::U: return static_cast<double>(s.u);
    default: return s.f;
    }
}

// Float to a 64-bit integer pattern as the usual x86-64 conversion gives it (truncation toward
// zero; NaN and out-of-range values give INT64_MIN's pattern), defined for every input.
inline std::int64_t float_to_int64_bits(double f) {
    if (!(f >= -9223372036854775808.0 && f < 9223372036854775808.0))
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(f);
}

inline std::uint64_t to_uint64(const Scalar &s) {
    switch (s.tag) {
    case Scalar::I: return static_cast<std::uint64_t>(s.i);  // two's complement wrap, as numpy
    case Scalar::U: return s.u;
    default:
        if (s.f >= 9223372036854775808.0 && s.f < 18446744073709551616.0)
            return static_cast<std::uint64_t>(s.f - 9223372036854775808.0) + (1ULL << 63);
        return static_cast<std::uint64_t>(float_to_int64_bits(s.f));
    }
}

inline std::int64_t to_int64(const Scalar &s) {
    switch (s.tag) {
    case Scalar::I: return s.i;
    case Scalar::U: return static_cast<std::int64_t>(s.u);
    default: return float_to_int64_bits(s.f);
    }
}

// Narrow unsigned results keep the low bits of the 64-bit pattern (numpy's casts do the same).
inline std::uint32_t to_uint32(const Scalar &s) { return static_cast<std::uint32_t>(to_uint64(s)); }

}  // namespace norvane::kernels
