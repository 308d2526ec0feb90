// Narrow (row label, column label, value) records into dense row-major matrices.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvanta::kernels {

// Composes two factorisations: out[i] = second[first[i]], or -1 where first[i] is negative
// or out of range (a label that the first pass could not name).
void compose_codes(const std::int64_t* first, std::size_t n, const std::int64_t* second,
                   std::size_t n_second, std::int64_t* out);

// Scatters `values` into one n_rows x n_cols row-major matrix per group, each filled with NaN
// first. A record is skipped when its row, column or group code is negative or out of range,
// when its group has no matrix (outs[g] == nullptr) or when its value is NaN; otherwise it
// overwrites what an earlier record put at the same place, so the last record wins.
// `group_codes` may be null: every record then belongs to group 0.
// row_used[g * n_rows + r] and col_used[g * n_cols + c] are set to 1 for each label that
// received a value in group g (both arrays are cleared first).
void pivot_last(const std::int64_t* row_codes, const std::int64_t* col_codes,
                const std::int64_t* group_codes, const double* values, std::size_t n,
                std::size_t n_rows, std::size_t n_cols, double* const* outs,
                std::size_t n_groups, std::uint8_t* row_used, std::uint8_t* col_used);

}  // namespace orvanta::kernels
