// numpy's nan_to_num(x, nan=0.0) for one value, shared by the kernels that read NaN as zero.
#pragma once

#include <cfloat>
#include <cmath>

namespace orvanta::kernels {

// NaN -> 0, +-inf -> the largest finite magnitude, anything else unchanged.
inline double nan_to_num(double x) {
    if (std::isnan(x)) return 0.0;
    if (std::isinf(x)) return x > 0 ? DBL_MAX : -DBL_MAX;
    return x;
}

}  // namespace orvanta::kernels
