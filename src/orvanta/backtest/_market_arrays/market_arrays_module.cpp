// Aligning the market matrices of a backtest onto the days and stocks it trades. Matrices
// that already hold those rows and columns in a regular run (the usual case: the same
// calendar and universe as the weights) come back as views; the rest are reindexed in one
// pass each, without the GIL.
#include <nanobind/nanobind.h>

#include <array>
#include <limits>
#include <string>

#include "kernels/reindex.h"
#include "orvanta/arrays.h"
#include "orvanta/pycall.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

namespace k = orvanta::kernels;

enum class Kind { price, can_buy, cant_sell };

struct Market {
    const char* key;
    const char* arg;
    Kind kind;
};

// Result keys in their documented order, with the argument each one comes from.
constexpr std::array<Market, 8> kMarkets{{
    {"prev_close_arr", "prev_close", Kind::price},
    {"can_buy_arr", "can_buy_stock", Kind::can_buy},
    {"cant_sell_arr", "cant_sell_stock", Kind::cant_sell},
    {"close_arr", "close_price", Kind::price},
    {"buy_price_arr", "buy_price", Kind::price},
    {"sell_price_arr", "sell_price", Kind::price},
    {"split_arr", "split_factor", Kind::price},
    {"dividend_arr", "dividend_factor", Kind::price},
}};

// A day or stock a flag matrix does not know is treated as untradable on both sides: no
// purchase (can_buy False) and no sale (cant_sell True). Trading on unknown status would
// fill orders the market may have refused.
k::Flag missing_flag(Kind kind) { return kind == Kind::cant_sell ? 1 : 0; }

void require_unique(nb::handle labels, const char* arg, const char* what) {
    if (!nb::cast<bool>(labels.attr("is_unique"))) {
        std::string msg = std::string(arg) + " has repeated " + what;
        throw nb::value_error(msg.c_str());
    }
}

// Positions of `wanted` in `have` (-1 where absent), as a contiguous int64 array.
nb::object positions(nb::handle have, nb::handle wanted) {
    if (nb::cast<bool>(have.attr("equals")(wanted)))
        return orvanta::import_attr("numpy", "arange")(nb::len(wanted), "dtype"_a = "int64");
    return orvanta::as_i64_vector(have.attr("get_indexer")(wanted));
}

nb::object regular_slice(const std::int64_t* idx, std::int64_t n) {
    const std::int64_t step = k::arithmetic_step(idx, n);
    if (step == 0) return nb::none();
    const std::int64_t start = n ? idx[0] : 0;
    return nb::slice(nb::int_(start), nb::int_(start + n * step), nb::int_(step));
}

nb::object align(nb::handle frame, const Market& market, nb::handle pnl_index,
                 nb::handle columns) {
    nb::object index = frame.attr("index");
    nb::object frame_columns = frame.attr("columns");
    require_unique(index, market.arg, "dates");
    require_unique(frame_columns, market.arg, "stock codes");
    nb::object rows = positions(index, pnl_index);
    nb::object cols = positions(frame_columns, columns);
    const std::int64_t n_rows = static_cast<std::int64_t>(nb::len(pnl_index));
    const std::int64_t n_cols = static_cast<std::int64_t>(nb::len(columns));
    const std::int64_t* row_idx = orvanta::i64_data(rows);
    const std::int64_t* col_idx = orvanta::i64_data(cols);

    nb::object values = frame.attr("to_numpy")("copy"_a = false);
    std::string dtype = nb::cast<std::string>(values.attr("dtype").attr("str"));
    const bool is_flag = market.kind != Kind::price;
    const bool native = is_flag ? dtype == "|b1" : dtype == "<f8";
    if (!native) values = orvanta::f64_values(frame);

    if (native) {
        nb::object row_slice = regular_slice(row_idx, n_rows);
        nb::object col_slice = regular_slice(col_idx, n_cols);
        if (!row_slice.is_none() && !col_slice.is_none())
            return values[nb::make_tuple(row_slice, col_slice)];
    }

    const char* out_dtype = is_flag ? "bool" : "float64";
    if (is_flag && !native) {
        k::MatrixView<double> src = orvanta::f64_matrix(values, market.arg);
        nb::object out = orvanta::empty_array(n_rows, n_cols, out_dtype, src.column_major());
        k::MutableMatrixView<k::Flag> dst = orvanta::mutable_flag_matrix(out);
        const k::Flag missing = missing_flag(market.kind);
        nb::gil_scoped_release unlocked;  // plain memory over arrays kept alive above
        k::gather_flags(src, row_idx, col_idx, missing, dst);
        return out;
    }
    if (is_flag) {
        k::MatrixView<k::Flag> src = orvanta::flag_matrix(values, market.arg);
        nb::object out = orvanta::empty_array(n_rows, n_cols, out_dtype, src.column_major());
        k::MutableMatrixView<k::Flag> dst = orvanta::mutable_flag_matrix(out);
        const k::Flag missing = missing_flag(market.kind);
        nb::gil_scoped_release unlocked;
        k::gather(src, row_idx, col_idx, missing, dst);
        return out;
    }
    k::MatrixView<double> src = orvanta::f64_matrix(values, market.arg);
    nb::object out = orvanta::empty_array(n_rows, n_cols, out_dtype, src.column_major());
    k::MutableMatrixView<double> dst = orvanta::mutable_f64_matrix(out);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    nb::gil_scoped_release unlocked;
    k::gather(src, row_idx, col_idx, nan, dst);
    return out;
}

nb::dict build_market_arrays(nb::handle pnl_index, nb::handle columns, nb::handle can_buy_stock,
                             nb::handle cant_sell_stock, nb::handle split_factor,
                             nb::handle dividend_factor, nb::handle close_price,
                             nb::handle prev_close, nb::handle buy_price,
                             nb::handle sell_price) {
    nb::object pd_index = orvanta::import_attr("pandas", "Index");
    nb::object dates = pd_index(pnl_index);
    nb::object stocks = pd_index(columns);
    const std::array<nb::handle, 8> frames{prev_close,   can_buy_stock, cant_sell_stock,
                                           close_price,  buy_price,     sell_price,
                                           split_factor, dividend_factor};
    nb::dict out;
    for (size_t k = 0; k < kMarkets.size(); ++k)
        out[kMarkets[k].key] = align(frames[k], kMarkets[k], dates, stocks);
    return out;
}

}  // namespace

NB_MODULE(_market_arrays, m) {
    m.doc() = "Market matrices aligned onto the trading days and stocks of a backtest.";
    m.def("_build_market_arrays", &build_market_arrays, "pnl_index"_a, "columns"_a,
          "can_buy_stock"_a, "cant_sell_stock"_a, "split_factor"_a, "dividend_factor"_a,
          "close_price"_a, "prev_close"_a, "buy_price"_a, "sell_price"_a,
          "Align the eight market matrices onto ``pnl_index`` x ``columns``.\n\n"
          "Returns a dict of n_days x n_stocks numpy arrays keyed \"prev_close_arr\",\n"
          "\"can_buy_arr\", \"cant_sell_arr\", \"close_arr\", \"buy_price_arr\",\n"
          "\"sell_price_arr\", \"split_arr\", \"dividend_arr\". A matrix that already holds\n"
          "the requested dates and stocks in a regular run is returned as a view (float64\n"
          "prices, bool flags); any other is reindexed in one pass. Missing prices and\n"
          "factors are NaN; a missing flag means untradable: can_buy False, cant_sell True.\n"
          "Flags stored as numbers count NaN as missing and any other non-zero as True.");
}
