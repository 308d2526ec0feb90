// Running sums, running maxima and drawdowns of daily series, with pandas' NaN rules:
// cumsum leaves NaN entries NaN and skips them; the running maximum ignores NaN and is NaN
// until the first number.
#pragma once

#include <cstdint>

namespace orvanta::kernels {

void cumulative_sum(const double* x, std::int64_t n, double* out);

void running_max(const double* x, std::int64_t n, double* out);

// out[i] = x[i] - max(x[0..i]): how far each value sits below its running peak (<= 0).
void drawdown_from_peak(const double* x, std::int64_t n, double* out);

}  // namespace orvanta::kernels
