#include "kernels/tick_fields.hpp"

#include <bit>
#include <cstring>

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

// The value as the layout stores it: float64(value) / scale, then cast to the field's type.
template <TickFieldCopy::Dst D, class Read>
void convert(const TickFieldCopy &c, unsigned char *out, std::ptrdiff_t dst_stride, const std::size_t *rows,
             std::size_t count, Read read) {
    const bool unit = c.scale == 1.0;
    for (std::size_t i = 0; i < count; ++i) {
        double v = read(c.src.data + static_cast<std::ptrdiff_t>(rows[i]) * c.src.stride);
        if (!unit)
            v /= c.scale;
        unsigned char *p = out + static_cast<std::ptrdiff_t>(i) * dst_stride;
        if constexpr (D == TickFieldCopy::Dst::Float64)
            store<double>(p, v, c.dst_swap);
        else
            store<std::uint32_t>(p, to_uint32(Scalar{Scalar::F, 0, 0, v}), c.dst_swap);
    }
}

template <TickFieldCopy::Dst D>
void convert_field(const TickFieldCopy &c, unsigned char *out, std::ptrdiff_t dst_stride, const std::size_t *rows,
                   std::size_t count) {
    const ColumnView &s = c.src;
    // Unswapped native float64 and uint32 / int32 sources (the usual files) get plain loads;
    // every other type goes through the generic reader.
    if (!s.swap && s.kind == NumKind::Float && s.itemsize == 8)
        return convert<D>(c, out, dst_stride, rows, count, [](const unsigned char *p) {
            double v;
            std::memcpy(&v, p, 8);
            return v;
        });
    if (!s.swap && s.kind == NumKind::UInt && s.itemsize == 4)
        return convert<D>(c, out, dst_stride, rows, count, [](const unsigned char *p) {
            std::uint32_t v;
            std::memcpy(&v, p, 4);
            return static_cast<double>(v);
        });
    if (!s.swap && s.kind == NumKind::Int && s.itemsize == 4)
        return convert<D>(c, out, dst_stride, rows, count, [](const unsigned char *p) {
            std::int32_t v;
            std::memcpy(&v, p, 4);
            return static_cast<double>(v);
        });
    ColumnView at_row = s;
    at_row.stride = 0;  // read_scalar(at_row, 0) reads the element at at_row.data
    return convert<D>(c, out, dst_stride, rows, count, [at_row](const unsigned char *p) mutable {
        at_row.data = p;
        return to_double(read_scalar(at_row, 0));
    });
}

}  // namespace

void fill_tick_fields(unsigned char *dst, std::ptrdiff_t dst_stride, const std::size_t *rows, std::size_t count,
                      const TickFieldCopy *copies, std::size_t ncopies) {
    for (std::size_t f = 0; f < ncopies; ++f) {
        const TickFieldCopy &c = copies[f];
        unsigned char *out = dst + c.dst_offset;
        if (c.dst == TickFieldCopy::Dst::Float64)
            convert_field<TickFieldCopy::Dst::Float64>(c, out, dst_stride, rows, count);
        else
            convert_field<TickFieldCopy::Dst::UInt32>(c, out, dst_stride, rows, count);
    }
}

}  // namespace norvane::kernels
