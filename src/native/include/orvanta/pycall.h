// Small helpers for calling Python, pandas and numpy from C++ without boilerplate.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <string_view>

namespace orvanta {

namespace nb = nanobind;

// `module.attr` after importing `module` (sys.modules makes repeated calls cheap).
nb::object import_attr(const char* module, const char* attr);

// A bytes object holding a copy of `data`.
nb::bytes to_bytes(std::string_view data);

// A new str decoded from UTF-8.
nb::str to_str(std::string_view data);

// A new list of str from C strings (module constants such as column names).
template <std::size_t N>
nb::list str_list(const char* const (&names)[N]) {
    nb::list out;
    for (const char* name : names) out.append(nb::str(name));
    return out;
}

// obj.replace([inf, -inf], nan): a pandas frame or series with its infinities as NaN.
nb::object infinities_to_nan(nb::handle obj);

// A new list of float from doubles (figure ratios and widths).
template <std::size_t N>
nb::list float_list(const double (&values)[N]) {
    nb::list out;
    for (double value : values) out.append(nb::float_(value));
    return out;
}

// `item in container`; an error of __contains__ propagates.
bool contains(nb::handle container, nb::handle item);

// bool(obj); an error of __bool__ / __len__ propagates.
bool truthy(nb::handle obj);

// The raw bytes of a bytes object (or subclass); valid while `obj` lives.
std::string_view bytes_view(nb::handle obj);

// `from module import name`: a missing name raises ImportError, as the statement does.
nb::object from_import(const char* module, const char* name);

}  // namespace orvanta
