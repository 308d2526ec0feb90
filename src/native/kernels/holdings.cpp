#include "kernels/holdings.h"

#include <cmath>
#include <limits>
#include <vector>

#include "kernels/nan_to_num.h"

namespace orvanta::kernels {

double mean_holding_count(const MatrixView<double>& weights) {
    if (weights.rows == 0) return std::numeric_limits<double>::quiet_NaN();
    std::int64_t count = 0;
    if (weights.column_major()) {
        for (std::int64_t j = 0; j < weights.cols; ++j)
            for (std::int64_t i = 0; i < weights.rows; ++i) count += std::isfinite(weights(i, j));
    } else {
        for (std::int64_t i = 0; i < weights.rows; ++i)
            for (std::int64_t j = 0; j < weights.cols; ++j) count += std::isfinite(weights(i, j));
    }
    return static_cast<double>(count) / static_cast<double>(weights.rows);
}

double mean_turnover(const MatrixView<double>& weights) {
    if (weights.rows < 2) return std::numeric_limits<double>::quiet_NaN();
    const std::int64_t pairs = weights.rows - 1;
    std::vector<double> changes(static_cast<size_t>(pairs), 0.0);
    if (weights.column_major()) {
        for (std::int64_t j = 0; j < weights.cols; ++j) {
            double before = nan_to_num(weights(0, j));
            for (std::int64_t i = 1; i < weights.rows; ++i) {
                const double now = nan_to_num(weights(i, j));
                changes[static_cast<size_t>(i - 1)] += std::fabs(now - before);
                before = now;
            }
        }
    } else {
        for (std::int64_t i = 1; i < weights.rows; ++i) {
            double change = 0.0;
            for (std::int64_t j = 0; j < weights.cols; ++j)
                change += std::fabs(nan_to_num(weights(i, j)) - nan_to_num(weights(i - 1, j)));
            changes[static_cast<size_t>(i - 1)] = change;
        }
    }
    double total = 0.0;
    for (double change : changes) total += change;
    return total / static_cast<double>(pairs) / 2.0;
}

}  // namespace orvanta::kernels
