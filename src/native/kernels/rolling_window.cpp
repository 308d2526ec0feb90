#include "kernels/rolling_window.h"

#include <cmath>
#include <limits>

namespace orvanta::kernels {

void rolling_positive_share(const double* returns, std::size_t n, std::size_t window, double* out) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::size_t positives = 0;
    std::size_t missing = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double enter = returns[i];
        if (std::isnan(enter))
            ++missing;
        else if (enter > 0.0)
            ++positives;
        if (i >= window) {
            const double leave = returns[i - window];
            if (std::isnan(leave))
                --missing;
            else if (leave > 0.0)
                --positives;
        }
        const bool full = window > 0 && i + 1 >= window && missing == 0;
        out[i] = full ? static_cast<double>(positives) / static_cast<double>(window) : nan;
    }
}

}  // namespace orvanta::kernels
