// Rolling-window statistics over contiguous float64 series (no Python headers).
#pragma once

#include <cstddef>

namespace orvanta::kernels {

// out[i] = share of values > 0 in returns[i - window + 1 .. i]; NaN while the window is not
// yet full or holds a NaN (a window needs `window` observations, as pandas' default
// min_periods does). Infinities are observations.
void rolling_positive_share(const double* returns, std::size_t n, std::size_t window, double* out);

}  // namespace orvanta::kernels
