#include "kernels/cumulative.h"

#include <cmath>
#include <limits>

namespace orvanta::kernels {

void cumulative_sum(const double* x, std::int64_t n, double* out) {
    double sum = 0.0;
    for (std::int64_t i = 0; i < n; ++i) {
        if (std::isnan(x[i])) {
            out[i] = x[i];
            continue;
        }
        sum += x[i];
        out[i] = sum;
    }
}

void running_max(const double* x, std::int64_t n, double* out) {
    double peak = std::numeric_limits<double>::quiet_NaN();
    for (std::int64_t i = 0; i < n; ++i) {
        if (!std::isnan(x[i]) && (std::isnan(peak) || x[i] > peak)) peak = x[i];
        out[i] = peak;
    }
}

void drawdown_from_peak(const double* x, std::int64_t n, double* out) {
    running_max(x, n, out);
    for (std::int64_t i = 0; i < n; ++i) out[i] = x[i] - out[i];
}

}  // namespace orvanta::kernels
