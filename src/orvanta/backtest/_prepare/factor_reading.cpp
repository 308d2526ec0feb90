// One factor or a batch of factors over the builder's date range, through the SDK client,
// with the fallbacks the derivation relies on.
#include "orvanta/args.h"
#include "prepare.h"

namespace prepare {

using namespace nb::literals;
using orvanta::None;

namespace {

nb::object query_factors(nb::handle self, nb::handle factor) {
    nb::object start = self.attr("_ov_factor_date")(self.attr("default_start"));
    nb::object end = self.attr("_ov_factor_date")(self.attr("end_date"));
    return sdk_client().attr("get_factors")("factor"_a = factor, "start_date"_a = start,
                                            "end_date"_a = end);
}

nb::object get_or_none(nb::handle mapping, nb::handle key) {
    return mapping.attr("get")(key);
}

}  // namespace

nb::object read_normal_factor_matrix(nb::handle self, nb::handle name) {
    orvanta::require_str(name, "name");
    nb::object df = query_factors(self, name);
    nb::list names;
    names.append(name);
    nb::object matrix =
        self.attr("_ov_factors_to_matrices")(df, names).attr("get")(name, empty_frame());
    if (has_rows(matrix)) return matrix;
    return empty_frame();
}

nb::dict read_normal_factor_batch(nb::handle self, nb::handle names_in) {
    orvanta::require_list(names_in, "names");
    nb::list names = parse_name_list(names_in);
    if (nb::len(names) == 0) return nb::dict();
    nb::object result;
    try {
        nb::object df = query_factors(self, names);
        result = self.attr("_ov_factors_to_matrices")(df, names);
    } catch (nb::python_error& error) {
        if (!is_network_error(error)) throw;
        // The batch is an optimisation: on a network failure every factor is read alone.
        nb::dict empty;
        for (nb::handle name : names) empty[name] = empty_frame();
        result = empty;
    }
    orvanta::require_dict(result, "_ov_factors_to_matrices()");
    nb::dict out = nb::borrow<nb::dict>(result);
    nb::list missing;
    for (nb::handle name : names) {
        if (!has_rows(get_or_none(out, name))) missing.append(name);
    }
    for (nb::handle name : missing) out[name] = self.attr("_read_normal_factor_matrix")(name);
    return out;
}

nb::object read_or_empty(nb::handle self, nb::handle name, nb::handle reference,
                         nb::handle batch) {
    orvanta::require_str(name, "name");
    orvanta::require_dict(batch, "batch", None::allowed);
    nb::object matrix;
    if (batch.is_none()) {
        matrix = self.attr("_read_normal_factor_matrix")(name);
    } else {
        matrix = get_or_none(batch, name);
        if (has_rows(matrix)) return matrix.attr("sort_index")();
    }
    if (!has_rows(matrix)) return self.attr("_empty_like")(reference);
    return matrix;
}

nb::object batch_or_read(nb::handle self, nb::handle batch, nb::handle name) {
    orvanta::require_dict(batch, "batch");
    orvanta::require_str(name, "name");
    nb::object matrix = get_or_none(batch, name);
    if (has_rows(matrix)) return matrix.attr("sort_index")();
    return self.attr("_read_normal_factor_matrix")(name);
}

nb::object empty_like(nb::handle reference, nb::handle fill_value) {
    return pandas().attr("DataFrame")(fill_value, "index"_a = reference.attr("index"),
                                      "columns"_a = reference.attr("columns"));
}

}  // namespace prepare
