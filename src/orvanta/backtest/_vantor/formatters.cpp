// Label text for the charts: percentages, plain numbers and the per-year excess line.
// Missing values print as "--".
#include <cmath>
#include <string>

#include "orvanta/args.h"
#include "orvanta/pycall.h"
#include "report.h"

namespace vantor {

namespace {

using namespace nb::literals;

const char* const kMissing = "--";

// float(value) formatted with the format mini-language, so rounding, infinities and the
// error for a bad `digits` are Python's own.
std::string format_float(nb::handle value, int digits, char presentation) {
    PyObject* as_float = PyNumber_Float(value.ptr());
    if (!as_float) throw nb::python_error();
    nb::object number = nb::steal(as_float);
    std::string format_code = "." + std::to_string(digits) + presentation;
    PyObject* text = PyObject_Format(number.ptr(), orvanta::to_str(format_code).ptr());
    if (!text) throw nb::python_error();
    return std::string(orvanta::utf8(nb::steal(text)));
}

int digits_arg(nb::handle digits) { return static_cast<int>(orvanta::to_int64(digits, "digits")); }

}  // namespace

bool is_missing(nb::handle value) {
    if (value.is_none()) return true;
    if (PyFloat_CheckExact(value.ptr())) return std::isnan(PyFloat_AS_DOUBLE(value.ptr()));
    return orvanta::truthy(orvanta::import_attr("pandas", "isna")(value));
}

std::string format_pct(nb::handle value, int digits) {
    if (is_missing(value)) return kMissing;
    return format_float(value, digits, '%');
}

std::string format_pct_points(nb::handle value, int digits) {
    if (is_missing(value)) return kMissing;
    return format_float(value, digits, 'f') + "%";
}

std::string format_num(nb::handle value, int digits) {
    if (is_missing(value)) return kMissing;
    return format_float(value, digits, 'f');
}

std::string format_annual_excess(nb::handle annual_excess) {
    if (annual_excess.is_none() || nb::len(annual_excess) == 0) return kMissing;
    std::string line;
    for (nb::handle pair : annual_excess.attr("items")()) {
        nb::object year = pair[0];
        nb::object value = pair[1];
        if (is_missing(value)) continue;
        if (!line.empty()) line += " | ";
        line += std::string(orvanta::utf8(nb::str(year))) + ": " + format_pct(value);
    }
    return line.empty() ? kMissing : line;
}

void register_formatters(nb::module_& m) {
    m.def(
        "_format_pct",
        [](nb::handle value, nb::handle digits) { return format_pct(value, digits_arg(digits)); },
        "value"_a.none(), "digits"_a.none() = 2,
        "A ratio as a percentage (0.05 -> \"5.00%\"); \"--\" when missing.");
    m.def(
        "_format_pct_points",
        [](nb::handle value, nb::handle digits) {
            return format_pct_points(value, digits_arg(digits));
        },
        "value"_a.none(), "digits"_a.none() = 2,
        "A value in percent points as a percentage (5.0 -> \"5.00%\"); \"--\" when missing.");
    m.def(
        "_format_num",
        [](nb::handle value, nb::handle digits) { return format_num(value, digits_arg(digits)); },
        "value"_a.none(), "digits"_a.none() = 2,
        "A fixed-point number (1.234 -> \"1.23\"); \"--\" when missing.");
    m.def("_format_annual_excess", &format_annual_excess, "annual_excess"_a.none(),
          "Per-year excess returns as \"2021: 5.00% | 2023: -3.10%\" (missing years left "
          "out); \"--\" when nothing is left.");
}

}  // namespace vantor
