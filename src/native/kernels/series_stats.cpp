#include "kernels/series_stats.h"

#include <cmath>
#include <limits>

namespace orvanta::kernels {

std::int64_t finite_mask(const double* x, std::int64_t n, std::uint8_t* mask) {
    std::int64_t count = 0;
    for (std::int64_t i = 0; i < n; ++i) {
        mask[i] = static_cast<std::uint8_t>(std::isfinite(x[i]));
        count += mask[i];
    }
    return count;
}

double win_rate(const double* x, std::int64_t n) {
    std::int64_t finite = 0;
    std::int64_t wins = 0;
    for (std::int64_t i = 0; i < n; ++i) {
        if (!std::isfinite(x[i])) continue;
        ++finite;
        wins += x[i] > 0;
    }
    if (finite == 0) return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(wins) / static_cast<double>(finite);
}

double min_skip_nan(const double* x, std::int64_t n) {
    double low = std::numeric_limits<double>::quiet_NaN();
    for (std::int64_t i = 0; i < n; ++i)
        if (!std::isnan(x[i]) && (std::isnan(low) || x[i] < low)) low = x[i];
    return low;
}

}  // namespace orvanta::kernels
