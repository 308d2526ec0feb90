// Holdings and turnover of a target-weight matrix (rows = dates, columns = stocks).
#pragma once

#include "kernels/matrix_view.h"

namespace orvanta::kernels {

// Mean over the rows of the number of finite weights (0.0 counts, NaN does not).
double mean_holding_count(const MatrixView<double>& weights);

// Mean over consecutive row pairs of half the summed absolute weight change, NaN weights
// read as 0 (and +-inf as the largest finite magnitude, as numpy's nan_to_num does); NaN
// with fewer than two rows.
double mean_turnover(const MatrixView<double>& weights);

}  // namespace orvanta::kernels
