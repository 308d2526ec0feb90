// The service's factor answer (narrow: one row per date, stock and factor; or wide: one
// column per factor) into one date x stock matrix per factor.
//
// Labels are converted once per distinct value rather than once per row: the date and stock
// columns are factorised, the conversions (series_to_yyyymmdd, six-digit codes) run on the
// distinct values, and a second, sorted factorisation of the converted labels gives the
// final codes. The scatter into the matrices is a kernel that runs without the GIL.
#include <nanobind/ndarray.h>

#include <cstdint>
#include <vector>

#include "kernels/pivot.h"
#include "orvanta/args.h"
#include "orvanta/arrays.h"
#include "orvanta/pycall.h"
#include "prepare.h"

namespace prepare {

using namespace nb::literals;

namespace {

using Codes = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Values = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Matrix = nb::ndarray<double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

nb::object numpy() { return nb::module_::import_("numpy"); }

// A contiguous int64 copy (or view) of factorize() codes.
struct Labels {
    nb::object codes;    // int64 ndarray, one code per row, -1 for a missing label
    nb::object uniques;  // pandas Index of the converted labels, sorted
    size_t size = 0;
};

// Factorise `column`, convert its distinct values with `convert` (a Series -> Series
// callable), and return per-row codes into the sorted distinct converted labels.
template <typename Convert>
Labels factorize_converted(nb::handle column, Convert convert) {
    nb::object pd = pandas();
    nb::tuple first = nb::borrow<nb::tuple>(pd.attr("factorize")(column));
    nb::object converted = convert(pd.attr("Series")(first[1]));
    nb::tuple second = nb::borrow<nb::tuple>(pd.attr("factorize")(converted, "sort"_a = true));

    nb::object raw_codes = orvanta::as_i64_vector(first[0]);
    nb::object map_codes = orvanta::as_i64_vector(second[0]);
    Codes raw = nb::cast<Codes>(raw_codes);
    Codes map = nb::cast<Codes>(map_codes);
    nb::object out = orvanta::empty_vector(static_cast<std::int64_t>(raw.shape(0)), "int64");
    auto out_view = nb::cast<nb::ndarray<std::int64_t, nb::ndim<1>, nb::c_contig>>(out);
    {
        // Plain arrays only: the row codes and the lookup table are owned by live objects.
        nb::gil_scoped_release release;
        orvanta::kernels::compose_codes(raw.data(), raw.shape(0), map.data(), map.shape(0),
                                        out_view.data());
    }
    Labels labels;
    labels.codes = out;
    labels.uniques = pd.attr("Index")(second[1]);
    labels.size = nb::len(labels.uniques);
    return labels;
}

nb::object float_values(nb::handle column) {
    nb::object numeric = pandas().attr("to_numeric")(column, "errors"_a = "coerce");
    return numeric.attr("to_numpy")("dtype"_a = "float64",
                                     "na_value"_a = numpy().attr("nan"));
}

nb::object used_positions(const std::vector<std::uint8_t>& used, size_t offset, size_t n,
                          bool& all_used) {
    nb::list positions;
    all_used = true;
    for (size_t i = 0; i < n; ++i) {
        if (used[offset + i]) {
            positions.append(i);
        } else {
            all_used = false;
        }
    }
    return orvanta::as_i64_vector(positions);
}

struct Pivot {
    const Labels& dates;
    const Labels& stocks;

    // Matrices for each group (nullptr slots get none); returns cleaned DataFrames.
    std::vector<nb::object> run(nb::handle values, nb::handle groups, size_t n_groups,
                                const std::vector<bool>& wanted) const {
        nb::object values_arr = orvanta::as_f64_vector(values);
        Values vals = nb::cast<Values>(values_arr);
        Codes rows = nb::cast<Codes>(dates.codes);
        Codes cols = nb::cast<Codes>(stocks.codes);
        const std::int64_t* group_ptr = nullptr;
        nb::object group_arr;
        if (!groups.is_none()) {
            group_arr = orvanta::as_i64_vector(groups);
            group_ptr = nb::cast<Codes>(group_arr).data();
        }
        std::vector<nb::object> full(n_groups);
        std::vector<double*> outs(n_groups, nullptr);
        for (size_t g = 0; g < n_groups; ++g) {
            if (!wanted[g]) continue;
            full[g] = orvanta::empty_array(static_cast<std::int64_t>(dates.size),
                                           static_cast<std::int64_t>(stocks.size), "float64",
                                           false);
            outs[g] = nb::cast<Matrix>(full[g]).data();
        }
        std::vector<std::uint8_t> row_used(n_groups * dates.size);
        std::vector<std::uint8_t> col_used(n_groups * stocks.size);
        {
            // Only raw buffers of arrays kept alive above are touched.
            nb::gil_scoped_release release;
            orvanta::kernels::pivot_last(rows.data(), cols.data(), group_ptr, vals.data(),
                                         vals.shape(0), dates.size, stocks.size, outs.data(),
                                         n_groups, row_used.data(), col_used.data());
        }
        std::vector<nb::object> result(n_groups);
        nb::object pd = pandas();
        nb::object clean = module_attr("clean_matrix");
        for (size_t g = 0; g < n_groups; ++g) {
            if (!wanted[g]) continue;
            bool all_rows = false;
            bool all_cols = false;
            nb::object r = used_positions(row_used, g * dates.size, dates.size, all_rows);
            nb::object c = used_positions(col_used, g * stocks.size, stocks.size, all_cols);
            nb::object matrix = full[g];
            nb::object index = dates.uniques;
            nb::object columns = stocks.uniques;
            if (!all_rows || !all_cols) {
                matrix = matrix[numpy().attr("ix_")(r, c)];
                index = index.attr("take")(r);
                columns = columns.attr("take")(c);
            }
            nb::object frame = pd.attr("DataFrame")(
                matrix, "index"_a = index.attr("rename")("DataDate"),
                "columns"_a = columns.attr("rename")("ukey"), "copy"_a = false);
            result[g] = clean(frame);
        }
        return result;
    }
};

const char* first_present(nb::handle columns, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        if (orvanta::contains(columns, nb::str(name))) return name;
    }
    return nullptr;
}

}  // namespace

nb::dict ov_factors_to_matrices(nb::handle /*self*/, nb::handle df, nb::handle names) {
    orvanta::require_list(names, "names");
    nb::dict result;
    for (nb::handle name : names) result[name] = empty_frame();
    if (!has_rows(df)) return result;

    nb::object columns = df.attr("columns");
    const char* ukey_col = first_present(columns, {"ukey"});
    const char* date_col = first_present(columns, {"date", "DataDate"});
    if (!ukey_col || !date_col) raise_key_error(nb::str("因子查询返回结果缺少 ukey/date 列"));
    const char* value_col = first_present(columns, {"value", "x"});
    const char* factor_col = first_present(columns, {"factor", "factor_name", "factorname"});

    Labels stocks = factorize_converted(df[ukey_col], [](nb::object uniques) {
        nb::object text = uniques.attr("astype")(nb::str("str"));
        nb::object strings = text.attr("str");
        return strings.attr("slice")("stop"_a = 6);
    });
    Labels dates = factorize_converted(df[date_col], [](nb::object uniques) {
        return series_to_yyyymmdd(uniques);
    });
    Pivot pivot{dates, stocks};

    if (value_col) {
        nb::object values = float_values(df[value_col]);
        if (factor_col) {
            nb::object factors = df[factor_col].attr("astype")(nb::str("str"));
            nb::tuple coded = nb::borrow<nb::tuple>(pandas().attr("factorize")(factors));
            nb::object group_names = coded[1];
            size_t n_groups = nb::len(group_names);
            std::vector<bool> wanted(n_groups);
            std::vector<nb::object> keys(n_groups);
            for (size_t g = 0; g < n_groups; ++g) {
                keys[g] = group_names[nb::int_(g)];
                wanted[g] = result.contains(keys[g]);
            }
            std::vector<nb::object> matrices = pivot.run(values, coded[0], n_groups, wanted);
            // Groups in order of first appearance, as groupby(sort=False) yields them.
            for (size_t g = 0; g < n_groups; ++g) {
                if (wanted[g]) result[keys[g]] = matrices[g];
            }
            return result;
        }
        if (nb::len(names) != 1) return result;
        std::vector<nb::object> matrices = pivot.run(values, nb::none(), 1, {true});
        result[nb::borrow<nb::list>(names)[0]] = matrices[0];
        return result;
    }

    for (nb::handle name : names) {
        if (!orvanta::contains(columns, name)) continue;
        nb::object values = float_values(df[name]);
        result[name] = pivot.run(values, nb::none(), 1, {true})[0];
    }
    return result;
}

}  // namespace prepare
