// Read-only views of numpy-owned 2-D data with byte strides. One kernel body then serves
// row-major, column-major and sliced arrays alike, so no input ever has to be copied into a
// preferred layout.
#pragma once

#include <cstdint>
#include <cstdlib>

namespace orvanta::kernels {

template <class T>
struct MatrixView {
    const char* data = nullptr;
    std::int64_t rows = 0;
    std::int64_t cols = 0;
    std::int64_t row_stride = 0;  // bytes
    std::int64_t col_stride = 0;  // bytes

    const T& operator()(std::int64_t i, std::int64_t j) const {
        return *reinterpret_cast<const T*>(data + i * row_stride + j * col_stride);
    }
    // True when stepping down a column is the short step, so a column-by-column walk streams.
    bool column_major() const {
        return rows > 1 && cols > 1 && std::llabs(row_stride) < std::llabs(col_stride);
    }
};

template <class T>
struct MutableMatrixView {
    char* data = nullptr;
    std::int64_t rows = 0;
    std::int64_t cols = 0;
    std::int64_t row_stride = 0;
    std::int64_t col_stride = 0;

    T& operator()(std::int64_t i, std::int64_t j) const {
        return *reinterpret_cast<T*>(data + i * row_stride + j * col_stride);
    }
    bool column_major() const {
        return rows > 1 && cols > 1 && std::llabs(row_stride) < std::llabs(col_stride);
    }
};

// numpy stores bool as one byte holding 0 or 1.
using Flag = std::uint8_t;

}  // namespace orvanta::kernels
