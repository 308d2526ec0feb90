// Pieces shared by the query services of the data service client.
#pragma once

#include <nanobind/nanobind.h>

#include <new>

namespace orvanta {

namespace nb = nanobind;

// A plain Python object (never a nanobind one: those would be reported as leaked at exit) a
// module holds for its whole life, like a module global. It is never released: static
// destructors may run after the interpreter is gone.
class Pinned {
   public:
    void set(nb::object obj) { handle_ = obj.release(); }
    nb::handle get() const { return handle_; }
    nb::object operator()(nb::handle arg) const { return nb::borrow(handle_)(arg); }

   private:
    nb::handle handle_;
};

// Registers the empty tag type `T` as a query service class: its constructor stores `http`
// (the HttpClient it sends through) as the instance attribute `_http` and nothing else. The
// attribute lives in the instance dict, which the garbage collector sees, so a cycle through
// the client is collected. Each module declares its own tag type because nanobind registers
// one Python class per C++ type.
template <typename T>
nb::class_<T> bind_service(nb::module_& m, const char* name, const char* doc) {
    using namespace nb::literals;
    return nb::class_<T>(m, name, doc, nb::dynamic_attr())
        .def(
            "__init__",
            [](nb::pointer_and_handle<T> self, nb::handle http) {
                new (self.p) T();
                self.h.attr("_http") = http;
            },
            "http"_a.none());
}

// The service's HttpClient.
inline nb::object http_of(nb::handle self) { return self.attr("_http"); }

// Imports API_PREFIX and HttpClient from orvanta._http into `m` (ImportError if missing) and
// returns API_PREFIX.
nb::str import_http_names(nb::module_& m);

// API_PREFIX followed by `suffix`.
nb::str api_path(const nb::str& prefix, const char* suffix);

// None stays None, a str (or subclass) becomes [value], anything else list(value).
nb::object to_str_list(nb::handle value);

// The records of a GET answer: the answer itself when it is a list, otherwise
// data.get(key, data.get(fallback, [])) (`fallback` may be null: data.get(key, [])).
nb::object records_of(nb::handle data, const char* key, const char* fallback);

// Adds key -> value to `body` only when `value` is truthy.
void put_if_truthy(nb::dict& body, const char* key, nb::handle value);

// Adds key -> convert(value) to `body` only when `value` is not None.
void put_if_given(nb::dict& body, const char* key, nb::handle value, const Pinned& convert);

// Adds "start_date" and "end_date" to `body`, each normalized and only when not None.
void put_date_range(nb::dict& body, nb::handle start_date, nb::handle end_date,
                    const Pinned& normalize_date);

// POSTs `body` to API_PREFIX + `suffix` through the service's HttpClient, decodes the Arrow
// stream answer while it arrives (orvanta._download.stream_decode) and returns its batches
// as one pandas frame with a fresh 0..n-1 index. Without any batch the result is
// `if_empty(schema)`.
nb::object query_stream_frame(nb::handle self, const Pinned& api_prefix, const char* suffix,
                              nb::handle body, nb::object (*if_empty)(nb::handle schema));

// Puts stream_decode (from orvanta._download) and _to_str_list into `m`, as every module
// with a streamed query exposes them.
void import_stream_names(nb::module_& m);

// Imports normalize_date and DateLike from orvanta.dates into `m` (ImportError if missing)
// and pins normalize_date in `normalize_date`.
void import_date_names(nb::module_& m, Pinned& normalize_date);

}  // namespace orvanta
