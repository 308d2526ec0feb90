// The concrete prepared-data store: the base matrices plus the index-component masks, and
// adding missing component masks to an existing store.
#include "orvanta/args.h"
#include "orvanta/pycall.h"
#include "prepare.h"

namespace prepare {

using namespace nb::literals;
using orvanta::None;

namespace {

nb::object base_class() { return module_attr("BinaryPreparedDataStoreBase"); }

nb::dict dict_at(nb::dict parent, const char* key) {
    nb::object value = parent.attr("setdefault")(key, nb::dict());
    orvanta::require_dict(value, key);
    return nb::borrow<nb::dict>(value);
}

}  // namespace

void store_init(nb::handle self, nb::handle store_dir, nb::handle component_names) {
    orvanta::require_list(component_names, "component_names", None::allowed);
    base_class().attr("__init__")(self, store_dir, build_matrix_dtype(component_names),
                                  module_attr("PREPARED_DATA_VERSION"),
                                  module_attr("FLOAT_STORAGE_DTYPE"));
}

nb::object store_load(nb::handle self, nb::handle start_date, nb::handle end_date,
                      nb::handle keys, nb::handle mmap) {
    orvanta::require_list(keys, "keys", None::allowed);
    nb::object selected = nb::borrow(keys);
    if (keys.is_none()) {
        nb::object metadata = self.attr("load_metadata")();
        nb::object datasets = metadata.attr("get")("datasets", nb::dict());
        nb::list present;
        for (nb::handle key : self.attr("matrix_dtype")) {
            if (orvanta::contains(datasets, key)) present.append(key);
        }
        selected = present;
    }
    nb::object result = base_class().attr("load")(self, "start_date"_a = start_date,
                                                  "end_date"_a = end_date, "keys"_a = selected,
                                                  "mmap"_a = mmap);
    orvanta::require_dict(result, "load()", None::allowed);
    return result;
}

nb::list add_component_matrices(nb::handle self, nb::handle component_matrices,
                                nb::handle component_names) {
    orvanta::require_dict(component_matrices, "component_matrices");
    orvanta::require_list(component_names, "component_names");
    nb::object metadata_obj = self.attr("load_metadata")();
    orvanta::require_dict(metadata_obj, "load_metadata()");
    nb::dict metadata = nb::borrow<nb::dict>(metadata_obj);
    nb::dict datasets = dict_at(metadata, "datasets");
    nb::object key_of = module_attr("component_dataset_key");
    nb::object float_dtype = module_attr("FLOAT_STORAGE_DTYPE");

    nb::list written;
    for (nb::handle name : parse_name_list(component_names)) {
        nb::object key = key_of(name);
        if (datasets.contains(key)) continue;
        nb::object matrix = component_matrices.attr("get")(name);
        if (!has_rows(matrix)) {
            nb::str message = nb::str("缺失成分股矩阵为空，无法补充: {}").format(name);
            throw nb::value_error(orvanta::utf8(message).data());
        }
        datasets[key] =
            self.attr("_write_matrix")(self.attr("store_dir"), key, matrix, float_dtype);
        written.append(name);
    }
    if (nb::len(written) == 0) return written;

    nb::dict meta = dict_at(metadata, "meta");
    nb::list existing = parse_name_list(meta.attr("get")("component_names", nb::list()));
    nb::list combined;
    for (nb::handle name : existing) combined.append(name);
    for (nb::handle name : component_names) combined.append(name);
    nb::object unique = orvanta::import_attr("builtins", "dict").attr("fromkeys")(
        parse_name_list(combined));
    nb::list merged = nb::steal<nb::list>(PySequence_List(unique.ptr()));
    if (!merged.is_valid()) throw nb::python_error();
    meta["component_names"] = merged;

    nb::dict key_map;
    nb::object previous = meta.attr("get")("component_dataset_keys", nb::dict());
    key_map.attr("update")(previous);
    for (nb::handle name : merged) key_map[name] = key_of(name);
    meta["component_dataset_keys"] = key_map;

    nb::object updated_at = pandas().attr("Timestamp").attr("now")().attr("isoformat")();
    meta["updated_at"] = updated_at;
    meta["component_supplemented_at"] = updated_at;

    // Rewritten through a temporary file and a rename: a crash or a full disk midway must
    // not leave a truncated metadata file, which would lose the whole store.
    self.attr("_write_metadata")(metadata);
    self.attr("_write_manifest")(self.attr("store_dir"), metadata);
    return written;
}

}  // namespace prepare
