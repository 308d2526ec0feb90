#include "kernels/period_metrics.h"

#include <cmath>
#include <limits>

namespace orvanta::kernels {

PeriodFigures period_figures(const double* returns, std::size_t n) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    double total = 0.0;
    std::size_t count = 0;
    double peak = nan;
    double worst = nan;
    for (std::size_t i = 0; i < n; ++i) {
        const double r = returns[i];
        if (std::isnan(r)) continue;
        total += r;
        ++count;
        // The running maximum of the cumulative sum, clipped below at zero.
        if (std::isnan(peak) || total > peak) peak = total;
        const double floor_peak = peak < 0.0 ? 0.0 : peak;
        const double drawdown = total - floor_peak;
        if (!std::isnan(drawdown) && (std::isnan(worst) || drawdown < worst)) worst = drawdown;
    }
    return {total, count ? total / static_cast<double>(count) : nan, std::fabs(worst)};
}

}  // namespace orvanta::kernels
