// Return and drawdown figures of one period of simple daily returns (no Python headers).
#pragma once

#include <cstddef>

namespace orvanta::kernels {

struct PeriodFigures {
    double total;         // sum of the non-NaN returns (0.0 when there is none)
    double mean;          // mean of the non-NaN returns (NaN when there is none)
    double max_drawdown;  // largest fall of the cumulative sum below its peak, as a magnitude
};

// The peak starts at 0 (the level before the first day), so losses from the start count as
// drawdown. NaN returns are skipped like pandas' skipna reductions and cumulative sums do.
PeriodFigures period_figures(const double* returns, std::size_t n);

}  // namespace orvanta::kernels
