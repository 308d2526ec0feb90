// The builder's entry points: the source-reading plans, the completeness check on index
// components and the payload layout.
#include "orvanta/args.h"
#include "orvanta/pycall.h"
#include "prepare.h"

namespace prepare {

using namespace nb::literals;

void builder_init(nb::handle self, nb::handle start_date, nb::handle end_date) {
    orvanta::require_str(start_date, "start_date");
    orvanta::require_str(end_date, "end_date");
    nb::object normalize = module_attr("normalize_yyyymmdd");
    nb::object start = normalize(start_date);
    nb::object end = normalize(end_date);
    nb::setattr(self, "default_start", start);
    nb::setattr(self, "end_date", end);
    nb::setattr(self, "_ddb_start", self.attr("_normalize_ddb_backtest_date")(start));
    nb::setattr(self, "_ddb_end", self.attr("_normalize_ddb_backtest_date")(end));
}

nb::object build(nb::handle self) { return self.attr("_build_payload")(false, "created_at"); }

nb::object build_incremental(nb::handle self) {
    return self.attr("_build_payload")(true, "updated_at");
}

nb::tuple read_source_data(nb::handle self, nb::handle incremental) {
    nb::list component_names = get_component_factor_names();
    nb::list required = nb::borrow<nb::list>(module_attr("REQUIRED_FACTOR_NAMES"));
    nb::list optional = nb::borrow<nb::list>(module_attr("OPTIONAL_FACTOR_NAMES"));
    nb::dict source;
    nb::object components;
    if (nb::bool_(nb::borrow(incremental))) {
        nb::list names;
        for (nb::handle name : nb::borrow<nb::list>(module_attr("BUILD_INPUT_NAMES"))) {
            names.append(name);
        }
        for (nb::handle name : component_names) names.append(name);
        nb::object batch = self.attr("_read_normal_factor_batch")(names);
        source["Close"] = self.attr("_batch_or_read")(batch, "Close");
        nb::object reference = source["Close"] * nb::int_(0) + nb::int_(1);
        components = self.attr("_component_matrices")(component_names, "batch"_a = batch);
        for (nb::handle name : required) {
            if (nb::str(name).equal(nb::str("Close"))) continue;
            source[name] = self.attr("_batch_or_read")(batch, name);
        }
        for (nb::handle name : optional) {
            source[name] = self.attr("_read_or_empty")(name, reference, "batch"_a = batch);
        }
    } else {
        for (nb::handle name : required) {
            source[name] = self.attr("_read_normal_factor_matrix")(name);
        }
        nb::object reference = source["Close"] * nb::int_(0) + nb::int_(1);
        for (nb::handle name : optional) {
            source[name] = self.attr("_read_or_empty")(name, reference);
        }
        components = self.attr("_component_matrices")(component_names);
    }
    nb::object benchmark_dict = self.attr("_read_benchmark_dict")();
    return nb::make_tuple(source, components, benchmark_dict, component_names);
}

nb::object build_payload(nb::handle self, nb::handle incremental, nb::handle meta_time_key) {
    orvanta::require_str(meta_time_key, "meta_time_key");
    nb::object parts = self.attr("_read_source_data")(nb::bool_(nb::borrow(incremental)));
    nb::object source = parts[0];
    nb::object components = parts[1];
    nb::object benchmark_dict = parts[2];
    nb::object component_names = parts[3];
    nb::list missing;
    for (nb::handle name : component_names) {
        if (!orvanta::contains(components, name)) missing.append(name);
    }
    if (nb::len(missing) > 0) {
        nb::str message =
            nb::str("成分股矩阵缺失，无法精确生成二进制缓存: {}").format(nb::repr(missing));
        throw nb::value_error(orvanta::utf8(message).data());
    }
    nb::object data = self.attr("_build_from_matrices")(source);
    return self.attr("_assemble_payload")(data, components, benchmark_dict, component_names,
                                          meta_time_key);
}

nb::dict assemble_payload(nb::handle self, nb::handle data, nb::handle component_matrices,
                          nb::handle benchmark_dict, nb::handle component_names,
                          nb::handle meta_time_key) {
    orvanta::require_dict(data, "data");
    orvanta::require_dict(component_matrices, "component_matrices");
    orvanta::require_dict(benchmark_dict, "benchmark_dict");
    orvanta::require_list(component_names, "component_names");
    orvanta::require_str(meta_time_key, "meta_time_key");
    nb::object key_of = module_attr("component_dataset_key");

    nb::dict component_keys;
    for (nb::handle name : component_names) component_keys[name] = key_of(name);

    nb::dict full_data;
    for (auto [key, value] : nb::borrow<nb::dict>(data)) full_data[key] = value;
    for (auto [name, matrix] : nb::borrow<nb::dict>(component_matrices)) {
        full_data[key_of(name)] = matrix;
    }
    full_data["benchmark_dict"] = benchmark_dict;

    nb::dict meta;
    meta["start_date"] = self.attr("default_start");
    meta["end_date"] = self.attr("end_date");
    meta["ddb_start"] = self.attr("_ddb_start");
    meta["ddb_end"] = self.attr("_ddb_end");
    meta["component_names"] = component_names;
    meta["component_dataset_keys"] = component_keys;
    meta[meta_time_key] = pandas().attr("Timestamp").attr("now")().attr("isoformat")();

    nb::dict payload;
    payload["version"] = module_attr("PREPARED_DATA_VERSION");
    payload["meta"] = meta;
    payload["data"] = full_data;
    return payload;
}

}  // namespace prepare
