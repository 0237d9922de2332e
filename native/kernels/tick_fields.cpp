#include "kernels/tick_fields.hpp"

#include <bit>
#include <cstring>
#include <vector>

namespace norvane::kernels {

namespace {

template <class T>
inline void store(unsigned char *p, T v, bool swap) {
    if constexpr (sizeof(T) == 4) {
        std::uint32_t bits = std::bit_cast<std::uint32_t>(v);
        if (swap)
            bits = __builtin_bswap32(bits);
        std::memcpy(p, &bits, 4);
    } else {
        std::uint64_t bits = std::bit_cast<std::uint64_t>(v);
        if (swap)
            bits = __builtin_bswap64(bits);
        std::memcpy(p, &bits, 8);
    }
}

enum class Load : std::uint8_t { F64, U32, I32, Any };

inline Load load_kind(const ColumnView &s) {
    if (s.swap)
        return Load::Any;
    if (s.kind == NumKind::Float && s.itemsize == 8)
        return Load::F64;
    if (s.kind == NumKind::UInt && s.itemsize == 4)
        return Load::U32;
    if (s.kind == NumKind::Int && s.itemsize == 4)
        return Load::I32;
    return Load::Any;
}

// The value of one source element as float64 (native float64 and 32-bit integers, the usual
// file types, get plain loads; everything else the generic reader).
inline double load(Load kind, const ColumnView &s, const unsigned char *p) {
    switch (kind) {
    case Load::F64: {
        double v;
        std::memcpy(&v, p, 8);
        return v;
    }
    case Load::U32: {
        std::uint32_t v;
        std::memcpy(&v, p, 4);
        return static_cast<double>(v);
    }
    case Load::I32: {
        std::int32_t v;
        std::memcpy(&v, p, 4);
        return static_cast<double>(v);
    }
    default: {
        ColumnView at = s;
        at.data = p;
        return to_double(read_scalar(at, 0));
    }
    }
}

// A field that passes unchanged (same type on both sides, scale 1) is a byte copy; neighbouring
// byte copies that are contiguous on both sides merge, so a file stored in the layout's own
// record type copies each record with one memcpy.
struct ByteRun {
    const unsigned char *src;
    std::size_t dst_offset;
    std::size_t size;
};

bool is_byte_copy(const TickFieldCopy &c) {
    if (c.scale != 1.0 || c.src.swap || c.dst_swap)
        return false;
    if (c.dst == TickFieldCopy::Dst::Float64)
        return c.src.kind == NumKind::Float && c.src.itemsize == 8;
    return c.src.kind == NumKind::UInt && c.src.itemsize == 4;  // uint32 -> float64 -> uint32 is exact
}

}  // namespace

void fill_tick_fields(unsigned char *dst, std::ptrdiff_t dst_stride, const std::size_t *rows, std::size_t count,
                      const TickFieldCopy *copies, std::size_t ncopies) {
    std::vector<ByteRun> runs;
    std::vector<const TickFieldCopy *> converted;
    std::vector<Load> kinds;
    std::ptrdiff_t src_stride = 0;
    for (std::size_t f = 0; f < ncopies; ++f) {
        const TickFieldCopy &c = copies[f];
        if (is_byte_copy(c) && (runs.empty() || c.src.stride == src_stride)) {
            src_stride = c.src.stride;
            const std::size_t size = static_cast<std::size_t>(c.src.itemsize);
            if (!runs.empty() && runs.back().src + runs.back().size == c.src.data &&
                runs.back().dst_offset + runs.back().size == c.dst_offset)
                runs.back().size += size;
            else
                runs.push_back({c.src.data, c.dst_offset, size});
        } else {
            converted.push_back(&c);
            kinds.push_back(load_kind(c.src));
        }
    }
    // Row by row: each source record (rows arrive in any order) is visited once, and the result
    // is written front to back.
    for (std::size_t i = 0; i < count; ++i) {
        unsigned char *out_row = dst + static_cast<std::ptrdiff_t>(i) * dst_stride;
        const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(rows[i]) * src_stride;
        for (const ByteRun &r : runs)
            std::memcpy(out_row + r.dst_offset, r.src + at, r.size);
        for (std::size_t f = 0; f < converted.size(); ++f) {
            const TickFieldCopy &c = *converted[f];
            // The value as the layout stores it: float64(value) / scale, cast to the field's type.
            double v = load(kinds[f], c.src, c.src.data + static_cast<std::ptrdiff_t>(rows[i]) * c.src.stride);
            if (c.scale != 1.0)
                v /= c.scale;
            unsigned char *p = out_row + c.dst_offset;
            if (c.dst == TickFieldCopy::Dst::Float64)
                store<double>(p, v, c.dst_swap);
            else
                store<std::uint32_t>(p, to_uint32(Scalar{Scalar::F, 0, 0, v}), c.dst_swap);
        }
    }
}

}  // namespace norvane::kernels

namespace norvane::kernels {

void permute_records(unsigned char *data, std::size_t itemsize, const std::size_t *order, std::size_t count) {
    std::vector<bool> seen(count, false);
    for (std::size_t i = 0; i < count; ++i) {
        if (order[i] >= count || seen[order[i]])
            throw DataError("record order is not a permutation");
        seen[order[i]] = true;
    }
    std::vector<bool> done(count, false);
    std::vector<unsigned char> held(itemsize);
    // Follow each cycle once, holding its first record aside.
    for (std::size_t start = 0; start < count; ++start) {
        if (done[start] || order[start] == start)
            continue;
        std::memcpy(held.data(), data + start * itemsize, itemsize);
        std::size_t j = start;
        while (true) {
            done[j] = true;
            const std::size_t from = order[j];
            if (from == start) {
                std::memcpy(data + j * itemsize, held.data(), itemsize);
                break;
            }
            std::memcpy(data + j * itemsize, data + from * itemsize, itemsize);
            j = from;
        }
    }
}

}  // namespace norvane::kernels
