// Declarations shared by the files of the prepared-data module. Every Python-visible
// function takes and returns Python objects; the classes are built in prepare_module.cpp.
#pragma once

#include <nanobind/nanobind.h>

namespace prepare {

namespace nb = nanobind;

// ---- module_state.cpp: names the module imported at load time, looked up on every call
// (the same as a Python global lookup, so a replaced name is seen).
nb::object module_attr(const char* name);
nb::object pandas();
nb::object empty_frame();                        // pd.DataFrame()
bool has_rows(nb::handle frame);                 // not None and len(frame) > 0
bool is_network_error(const nb::python_error& error);
[[noreturn]] void raise_key_error(const nb::str& message);
nb::object sdk_client();                         // get_instance()

// ---- name_lists.cpp
void add_name_constants(nb::module_& m);
nb::list parse_name_list(nb::handle raw_values);
nb::list get_component_factor_names();
nb::dict build_matrix_dtype(nb::handle component_names);

// ---- date_helpers.cpp
nb::object series_to_yyyymmdd(nb::handle values);
nb::object normalize_ddb_backtest_date(nb::handle date_value);
nb::object ov_factor_date(nb::handle date_value);

// ---- factor_pivot.cpp
nb::dict ov_factors_to_matrices(nb::handle self, nb::handle df, nb::handle names);

// ---- factor_reading.cpp
nb::object read_normal_factor_matrix(nb::handle self, nb::handle name);
nb::dict read_normal_factor_batch(nb::handle self, nb::handle names);
nb::object read_or_empty(nb::handle self, nb::handle name, nb::handle reference,
                         nb::handle batch);
nb::object batch_or_read(nb::handle self, nb::handle batch, nb::handle name);
nb::object empty_like(nb::handle reference, nb::handle fill_value);

// ---- derived_matrices.cpp
nb::dict build_from_matrices(nb::handle self, nb::handle source);
nb::dict component_matrices(nb::handle self, nb::handle component_names, nb::handle batch);

// ---- benchmark_series.cpp
nb::dict read_benchmark_dict(nb::handle self);
nb::object format_benchmark_daily_return(nb::handle self, nb::handle df,
                                         nb::handle benchmark_name, nb::handle index_code);

// ---- payload.cpp
void builder_init(nb::handle self, nb::handle start_date, nb::handle end_date);
nb::object build(nb::handle self);
nb::object build_incremental(nb::handle self);
nb::object build_payload(nb::handle self, nb::handle incremental, nb::handle meta_time_key);
nb::tuple read_source_data(nb::handle self, nb::handle incremental);
nb::dict assemble_payload(nb::handle self, nb::handle data, nb::handle component_matrices,
                          nb::handle benchmark_dict, nb::handle component_names,
                          nb::handle meta_time_key);

// ---- prepared_store.cpp
void store_init(nb::handle self, nb::handle store_dir, nb::handle component_names);
nb::object store_load(nb::handle self, nb::handle start_date, nb::handle end_date,
                      nb::handle keys, nb::handle mmap);
nb::list add_component_matrices(nb::handle self, nb::handle component_matrices,
                                nb::handle component_names);

}  // namespace prepare
