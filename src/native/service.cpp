#include "orvanta/service.h"

#include "orvanta/pycall.h"

namespace orvanta {

nb::str import_http_names(nb::module_& m) {
    nb::module_ http = nb::module_::import_("orvanta._http");
    nb::str prefix = nb::borrow<nb::str>(http.attr("API_PREFIX"));
    m.attr("API_PREFIX") = prefix;
    m.attr("HttpClient") = http.attr("HttpClient");
    return prefix;
}

nb::str api_path(const nb::str& prefix, const char* suffix) {
    PyObject* joined = PyUnicode_Concat(prefix.ptr(), nb::str(suffix).ptr());
    if (!joined) throw nb::python_error();
    return nb::steal<nb::str>(joined);
}

nb::object to_str_list(nb::handle value) {
    if (value.is_none()) return nb::none();
    if (PyUnicode_Check(value.ptr())) {
        nb::list one;
        one.append(value);
        return std::move(one);
    }
    PyObject* items = PySequence_List(value.ptr());
    if (!items) throw nb::python_error();
    return nb::steal(items);
}

nb::object records_of(nb::handle data, const char* key, const char* fallback) {
    if (PyList_Check(data.ptr())) return nb::borrow(data);
    nb::object get = data.attr("get");
    nb::object otherwise = fallback ? get(fallback, nb::list()) : nb::object(nb::list());
    return get(key, otherwise);
}

void put_if_truthy(nb::dict& body, const char* key, nb::handle value) {
    if (truthy(value)) body[key] = value;
}

void put_if_given(nb::dict& body, const char* key, nb::handle value, const Pinned& convert) {
    if (!value.is_none()) body[key] = convert(value);
}

void import_date_names(nb::module_& m, Pinned& normalize_date) {
    nb::module_ dates = nb::module_::import_("orvanta.dates");
    nb::object normalize = dates.attr("normalize_date");
    m.attr("normalize_date") = normalize;
    m.attr("DateLike") = dates.attr("DateLike");
    normalize_date.set(normalize);
}

}  // namespace orvanta
