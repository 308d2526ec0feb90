// Reductions over one daily series for the summary statistics.
#pragma once

#include <cstdint>

namespace orvanta::kernels {

// mask[i] = 1 where x[i] is finite; returns how many are.
std::int64_t finite_mask(const double* x, std::int64_t n, std::uint8_t* mask);

// Share of the finite values that are > 0 (a zero is no win); NaN when none is finite.
double win_rate(const double* x, std::int64_t n);

// Smallest value ignoring NaN; NaN when every value is NaN.
double min_skip_nan(const double* x, std::int64_t n);

}  // namespace orvanta::kernels
