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

void put_date_range(nb::dict& body, nb::handle start_date, nb::handle end_date,
                    const Pinned& normalize_date) {
    put_if_given(body, "start_date", start_date, normalize_date);
    put_if_given(body, "end_date", end_date, normalize_date);
}

nb::object query_stream_frame(nb::handle self, const Pinned& api_prefix, const char* suffix,
                              nb::handle body, nb::object (*if_empty)(nb::handle schema)) {
    using namespace nb::literals;
    nb::str path = api_path(nb::borrow<nb::str>(api_prefix.get()), suffix);
    nb::object decoded =
        import_attr("orvanta._download", "stream_decode")(http_of(self), path, body);
    nb::object frames = decoded[0];
    if (nb::len(frames) == 0) return if_empty(decoded[1]);
    return import_attr("pandas", "concat")(frames, "ignore_index"_a = true);
}

void import_stream_names(nb::module_& m) {
    using namespace nb::literals;
    m.attr("stream_decode") = import_attr("orvanta._download", "stream_decode");
    m.def("_to_str_list", &to_str_list, "value"_a.none(),
          "None stays None, a str becomes [value], anything else list(value).");
}

void import_date_names(nb::module_& m, Pinned& normalize_date) {
    nb::module_ dates = nb::module_::import_("orvanta.dates");
    nb::object normalize = dates.attr("normalize_date");
    m.attr("normalize_date") = normalize;
    m.attr("DateLike") = dates.attr("DateLike");
    normalize_date.set(normalize);
}

}  // namespace orvanta
