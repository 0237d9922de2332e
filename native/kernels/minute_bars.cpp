#include "kernels/minute_bars.hpp"

#include <cmath>
#include <cstring>
#include <limits>

namespace norvane::kernels {

void fill_minute_bars(unsigned char *dst, std::ptrdiff_t dst_stride, std::size_t rows,
                      const BarFieldCopy *copies, std::size_t count) {
    for (std::size_t f = 0; f < count; ++f) {
        const BarFieldCopy &c = copies[f];
        unsigned char *out = dst + c.dst_offset;
        switch (c.op) {
        case BarFieldCopy::Op::Bytes: {
            const std::size_t size = static_cast<std::size_t>(c.src.itemsize);
            for (std::size_t r = 0; r < rows; ++r)
                std::memcpy(out + static_cast<std::ptrdiff_t>(r) * dst_stride,
                            c.src.data + static_cast<std::ptrdiff_t>(r) * c.src.stride, size);
            break;
        }
        case BarFieldCopy::Op::ToFloat64:
            for (std::size_t r = 0; r < rows; ++r) {
                const double v = to_double(read_scalar(c.src, r));
                std::memcpy(out + static_cast<std::ptrdiff_t>(r) * dst_stride, &v, sizeof v);
            }
            break;
        case BarFieldCopy::Op::ToUInt64:
            for (std::size_t r = 0; r < rows; ++r) {
                const std::uint64_t v = to_uint64(read_scalar(c.src, r));
                std::memcpy(out + static_cast<std::ptrdiff_t>(r) * dst_stride, &v, sizeof v);
            }
            break;
        case BarFieldCopy::Op::FillNaN: {
            const double nan = std::numeric_limits<double>::quiet_NaN();
            for (std::size_t r = 0; r < rows; ++r)
                std::memcpy(out + static_cast<std::ptrdiff_t>(r) * dst_stride, &nan, sizeof nan);
            break;
        }
        }
    }
}

double bar_time_to_date(const Scalar &value) { return std::trunc(to_double(value) / 1000000.0); }

}  // namespace norvane::kernels
