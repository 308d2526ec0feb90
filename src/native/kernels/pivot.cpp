#include "kernels/pivot.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace orvanta::kernels {

void compose_codes(const std::int64_t* first, std::size_t n, const std::int64_t* second,
                   std::size_t n_second, std::int64_t* out) {
    const auto limit = static_cast<std::int64_t>(n_second);
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t code = first[i];
        out[i] = (code >= 0 && code < limit) ? second[code] : -1;
    }
}

void pivot_last(const std::int64_t* row_codes, const std::int64_t* col_codes,
                const std::int64_t* group_codes, const double* values, std::size_t n,
                std::size_t n_rows, std::size_t n_cols, double* const* outs,
                std::size_t n_groups, std::uint8_t* row_used, std::uint8_t* col_used) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t g = 0; g < n_groups; ++g) {
        if (outs[g] != nullptr) std::fill(outs[g], outs[g] + n_rows * n_cols, nan);
    }
    std::fill(row_used, row_used + n_groups * n_rows, std::uint8_t{0});
    std::fill(col_used, col_used + n_groups * n_cols, std::uint8_t{0});
    const auto rows = static_cast<std::int64_t>(n_rows);
    const auto cols = static_cast<std::int64_t>(n_cols);
    const auto groups = static_cast<std::int64_t>(n_groups);
    for (std::size_t i = 0; i < n; ++i) {
        const double value = values[i];
        if (std::isnan(value)) continue;
        const std::int64_t r = row_codes[i];
        const std::int64_t c = col_codes[i];
        const std::int64_t g = group_codes ? group_codes[i] : 0;
        if (r < 0 || r >= rows || c < 0 || c >= cols || g < 0 || g >= groups) continue;
        double* out = outs[g];
        if (out == nullptr) continue;
        const auto ur = static_cast<std::size_t>(r);
        const auto uc = static_cast<std::size_t>(c);
        const auto ug = static_cast<std::size_t>(g);
        out[ur * n_cols + uc] = value;
        row_used[ug * n_rows + ur] = 1;
        col_used[ug * n_cols + uc] = 1;
    }
}

}  // namespace orvanta::kernels
