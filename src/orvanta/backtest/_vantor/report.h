// What the yearly metrics, number formatters and weekly frame offer the charts and the
// pipeline inside this module (the Python-facing wrappers live next to each definition).
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <string>

#include "registry.h"

namespace vantor {

namespace nb = nanobind;

// A Series' (or array's) values as contiguous float64 (missing values NaN); no copy when they
// already are.
struct Column {
    nb::object owner;
    const double* data = nullptr;
    std::size_t size = 0;
};
Column column_values(nb::handle series);

// pandas.isna(value) as a truth value (None and float NaN without a call into pandas).
bool is_missing(nb::handle value);

std::string format_pct(nb::handle value, int digits = 2);
std::string format_pct_points(nb::handle value, int digits = 2);
std::string format_num(nb::handle value, int digits = 2);
std::string format_annual_excess(nb::handle annual_excess);

nb::object calc_yearly_performance_metrics(nb::handle daily);
nb::object build_weekly_net_value_frame(nb::handle total);

}  // namespace vantor
