// numpy arrays and pandas frames seen from C++ without copying: pointers and byte strides
// come from the array interface, so read-only (copy-on-write) views work as they are.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kernels/matrix_view.h"

namespace orvanta {

namespace nb = nanobind;

struct ArrayInfo {
    char* data = nullptr;
    std::vector<std::int64_t> shape;
    std::vector<std::int64_t> strides;  // bytes
    std::string typestr;                // "<f8", "|b1", "<i8", ...
};

ArrayInfo array_info(nb::handle array);

// A 2-D float64 or bool numpy array; anything else raises TypeError naming `what`.
kernels::MatrixView<double> f64_matrix(nb::handle array, const char* what);
kernels::MatrixView<kernels::Flag> flag_matrix(nb::handle array, const char* what);
kernels::MutableMatrixView<double> mutable_f64_matrix(nb::handle array);
kernels::MutableMatrixView<kernels::Flag> mutable_flag_matrix(nb::handle array);

// Pointer to the data of a 1-D contiguous array made by this package (np.empty, astype).
double* f64_data(nb::handle array);
std::int64_t* i64_data(nb::handle array);

// `numpy.empty(shape, dtype, order)`.
nb::object empty_array(std::int64_t rows, std::int64_t cols, const char* dtype, bool fortran);
nb::object empty_vector(std::int64_t n, const char* dtype);

// A 1-D contiguous int64 / float64 array of the same values (no copy when it already is one).
nb::object as_i64_vector(nb::handle values);
nb::object as_f64_vector(nb::handle values);

// A frame's (or series') values as float64: a view when they already are float64, else a
// converted copy with missing values as NaN.
nb::object f64_values(nb::handle frame);

}  // namespace orvanta
