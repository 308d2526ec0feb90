#include "kernels/reindex.h"

#include <cmath>

namespace orvanta::kernels {

namespace {

template <class Src, class Dst, class Convert>
void gather_impl(const MatrixView<Src>& src, const std::int64_t* rows, const std::int64_t* cols,
                 Dst fill, const MutableMatrixView<Dst>& out, Convert convert) {
    // Walk in the source's own order so the reads stream.
    if (src.column_major()) {
        for (std::int64_t j = 0; j < out.cols; ++j) {
            const std::int64_t c = cols[j];
            for (std::int64_t i = 0; i < out.rows; ++i) {
                const std::int64_t r = rows[i];
                out(i, j) = (r < 0 || c < 0) ? fill : convert(src(r, c));
            }
        }
        return;
    }
    for (std::int64_t i = 0; i < out.rows; ++i) {
        const std::int64_t r = rows[i];
        for (std::int64_t j = 0; j < out.cols; ++j) {
            const std::int64_t c = cols[j];
            out(i, j) = (r < 0 || c < 0) ? fill : convert(src(r, c));
        }
    }
}

}  // namespace

void gather(const MatrixView<double>& src, const std::int64_t* rows, const std::int64_t* cols,
            double fill, const MutableMatrixView<double>& out) {
    gather_impl(src, rows, cols, fill, out, [](double v) { return v; });
}

void gather(const MatrixView<Flag>& src, const std::int64_t* rows, const std::int64_t* cols,
            Flag fill, const MutableMatrixView<Flag>& out) {
    gather_impl(src, rows, cols, fill, out, [](Flag v) { return static_cast<Flag>(v != 0); });
}

void gather_flags(const MatrixView<double>& src, const std::int64_t* rows,
                  const std::int64_t* cols, Flag missing, const MutableMatrixView<Flag>& out) {
    gather_impl(src, rows, cols, missing, out, [missing](double v) {
        return std::isnan(v) ? missing : static_cast<Flag>(v != 0.0);
    });
}

std::int64_t arithmetic_step(const std::int64_t* idx, std::int64_t n) {
    if (n == 0) return 1;
    if (idx[0] < 0) return 0;
    if (n == 1) return 1;
    const std::int64_t step = idx[1] - idx[0];
    if (step < 1) return 0;
    for (std::int64_t k = 2; k < n; ++k) {
        if (idx[k] - idx[k - 1] != step) return 0;
    }
    return step;
}

}  // namespace orvanta::kernels
