// Gathering a matrix onto requested rows and columns in one pass. An index of -1 means the
// source lacks that row or column and the cell gets the fill value.
#pragma once

#include <cstdint>

#include "kernels/matrix_view.h"

namespace orvanta::kernels {

void gather(const MatrixView<double>& src, const std::int64_t* rows, const std::int64_t* cols,
            double fill, const MutableMatrixView<double>& out);

void gather(const MatrixView<Flag>& src, const std::int64_t* rows, const std::int64_t* cols,
            Flag fill, const MutableMatrixView<Flag>& out);

// Flags stored as numbers: NaN (unknown) becomes `missing`, any other non-zero value true.
void gather_flags(const MatrixView<double>& src, const std::int64_t* rows,
                  const std::int64_t* cols, Flag missing, const MutableMatrixView<Flag>& out);

// The step when idx[0], idx[1], ... is an arithmetic run start + k * step with step >= 1
// (or a single non-negative index), else 0.
std::int64_t arithmetic_step(const std::int64_t* idx, std::int64_t n);

}  // namespace orvanta::kernels
