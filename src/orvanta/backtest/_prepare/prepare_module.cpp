// orvanta.backtest._prepare: builds the backtest data payload from service data and reads
// and extends the binary prepared-data store. Both classes are plain Python classes (the
// store must derive from the Python base of orvanta.backtest._store) whose methods are the
// C++ functions of this module.
#include <string>

#include "orvanta/pycall.h"
#include "prepare.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

constexpr const char* kModuleName = "orvanta.backtest._prepare";

void import_names(nb::module_& m, const char* module, std::initializer_list<const char*> names) {
    for (const char* name : names) m.attr(name) = orvanta::from_import(module, name);
}

nb::object make_class(nb::module_& m, const char* name, nb::handle base, const char* doc) {
    nb::dict ns;
    ns["__module__"] = kModuleName;
    ns["__qualname__"] = name;
    ns["__doc__"] = doc;
    nb::tuple bases = base.is_valid() ? nb::make_tuple(base) : nb::tuple();
    nb::object cls = orvanta::import_attr("builtins", "type")(name, bases, ns);
    m.attr(name) = cls;
    return cls;
}

// Instance method: the C++ function's first parameter receives self. No nb::scope: with a
// scope nanobind would try to overload the base class's Python method of the same name.
template <typename Func, typename... Extra>
void method(nb::handle cls, const char* name, Func&& f, const Extra&... extra) {
    nb::setattr(cls, name,
                nb::cpp_function(std::forward<Func>(f), nb::name(name), nb::is_method(),
                                 extra...));
}

template <typename Func, typename... Extra>
void static_method(nb::handle cls, const char* name, Func&& f, const Extra&... extra) {
    nb::object plain = nb::cpp_function(std::forward<Func>(f), nb::name(name), extra...);
    nb::setattr(cls, name, orvanta::import_attr("builtins", "staticmethod")(plain));
}

void define_builder(nb::module_& m) {
    nb::object cls = make_class(
        m, "GroupPreparedDataBuilder", nb::handle(),
        "Builds the backtest data payload (version/meta/data) for a date range from the\n"
        "factor and index-bar services of the initialised SDK client.");
    method(cls, "__init__", &prepare::builder_init, "start_date"_a.none(), "end_date"_a.none());
    static_method(cls, "_normalize_ddb_backtest_date", &prepare::normalize_ddb_backtest_date,
                  "date_value"_a.none(),
                  "None, or the date as text with a 0 appended to a 7-digit date.");
    static_method(cls, "_ov_factor_date", &prepare::ov_factor_date, "date_value"_a.none(),
                  "A date as YYYY-MM-DD text for the factor query (None stays None).");
    method(cls, "_ov_factors_to_matrices", &prepare::ov_factors_to_matrices, "df"_a.none(),
           "names"_a.none(), "Factor answer (narrow or wide) -> {name: date x stock matrix}.");
    method(cls, "_read_normal_factor_matrix", &prepare::read_normal_factor_matrix,
           "name"_a.none(), "One factor, one query; an empty frame when there is no data.");
    method(cls, "_read_normal_factor_batch", &prepare::read_normal_factor_batch,
           "names"_a.none(),
           "Many factors in one query; factors it misses (or all, after a NetworkError)\n"
           "are read one by one.");
    method(cls, "_read_or_empty", &prepare::read_or_empty, "name"_a.none(),
           "reference"_a.none(), "batch"_a.none() = nb::none(),
           "A factor matrix, or an all-NaN matrix shaped like reference when it is empty.");
    method(cls, "_batch_or_read", &prepare::batch_or_read, "batch"_a.none(), "name"_a.none(),
           "The batch's matrix for name, read alone when the batch has none.");
    static_method(cls, "_empty_like", &prepare::empty_like, "reference"_a.none(),
                  "fill_value"_a.none() = orvanta::import_attr("numpy", "nan"),
                  "A frame of fill_value with reference's index and columns.");
    method(cls, "_build_from_matrices", &prepare::build_from_matrices, "source"_a.none(),
           "The twelve base backtest matrices from the source factor matrices.");
    method(cls, "_component_matrices", &prepare::component_matrices,
           "component_names"_a.none(), "batch"_a.none() = nb::none(),
           "1.0/NaN membership masks of the index components that could be read.");
    method(cls, "_read_benchmark_dict", &prepare::read_benchmark_dict,
           "Daily-return series of the three benchmarks from one index-bar query.");
    method(cls, "_format_benchmark_daily_return", &prepare::format_benchmark_daily_return,
           "df"_a.none(), "benchmark_name"_a.none(), "index_code"_a.none(),
           "One benchmark's daily returns (named index_daily_return) from an index-bar frame.");
    method(cls, "build", &prepare::build, "Full build, one query per factor.");
    method(cls, "build_incremental", &prepare::build_incremental,
           "Build from one batch query, with per-factor fallback.");
    method(cls, "_build_payload", &prepare::build_payload, "incremental"_a.none(),
           "meta_time_key"_a.none());
    method(cls, "_read_source_data", &prepare::read_source_data, "incremental"_a.none());
    method(cls, "_assemble_payload", &prepare::assemble_payload, "data"_a.none(),
           "component_matrices"_a.none(), "benchmark_dict"_a.none(),
           "component_names"_a.none(), "meta_time_key"_a.none());
}

void define_store(nb::module_& m) {
    nb::object cls = make_class(
        m, "BinaryPreparedDataStore", m.attr("BinaryPreparedDataStoreBase"),
        "The prepared-data store of the backtest: the twelve base matrices plus the\n"
        "index-component masks; can add missing component masks to an existing store.");
    method(cls, "__init__", &prepare::store_init, "store_dir"_a.none(),
           "component_names"_a.none() = nb::none());
    method(cls, "load", &prepare::store_load, "start_date"_a.none() = nb::none(),
           "end_date"_a.none() = nb::none(), "keys"_a.none() = nb::none(),
           "mmap"_a.none() = true,
           "Load the datasets of the dtype map that the store holds (or `keys`), rows\n"
           "within [start_date, end_date]; read-only memory-mapped views when mmap.");
    method(cls, "add_component_matrices", &prepare::add_component_matrices,
           "component_matrices"_a.none(), "component_names"_a.none(),
           "Write the component masks the store lacks; returns the names written.");
}

}  // namespace

NB_MODULE(_prepare, m) {
    m.doc() = "Backtest data: builder of date x stock matrices and the binary prepared-data store.";
    import_names(m, "orvanta.backtest._store",
                 {"BinaryPreparedDataStoreBase", "clean_matrix", "component_dataset_key",
                  "normalize_yyyymmdd"});
    import_names(m, "orvanta.singleton", {"get_instance"});
    import_names(m, "orvanta.exceptions", {"NetworkError"});
    prepare::add_name_constants(m);
    m.def("parse_name_list", &prepare::parse_name_list, "raw_values"_a.none(),
          "Names from None, a separated string (\",\", \"，\", \"；\", \";\" or newlines) or any\n"
          "iterable, stripped, blanks dropped, order and duplicates kept.\n\n"
          "\"a, b；c\" gives [\"a\", \"b\", \"c\"]; [\"a\", \" b \"] gives [\"a\", \"b\"].");
    m.def("get_component_factor_names", &prepare::get_component_factor_names,
          "A new list of the five built-in index-component factor names.");
    m.def("build_matrix_dtype", &prepare::build_matrix_dtype,
          "component_names"_a.none() = nb::none(),
          "Dataset key -> storage dtype: the twelve base keys, then one float64 key per\n"
          "component name (the built-in names when None).");
    m.def("series_to_yyyymmdd", &prepare::series_to_yyyymmdd, "values"_a.none(),
          "Dates in any form pandas parses -> YYYYMMDD text (unparseable: missing).");
    define_builder(m);
    define_store(m);
}
