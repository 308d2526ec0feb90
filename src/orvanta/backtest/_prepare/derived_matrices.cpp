// The matrices the backtest consumes, derived from the raw factor matrices with pandas
// arithmetic (alignment over the union of dates and stocks is part of the result).
#include "orvanta/args.h"
#include "orvanta/pycall.h"
#include "prepare.h"

namespace prepare {

using namespace nb::literals;
using orvanta::None;

namespace {

nb::object rows_where(nb::handle frame, nb::handle mask) { return frame.attr("loc")[mask]; }

// 1.0 where the stock is suspended (factor value 1), absent elsewhere.
nb::object suspension_term(nb::handle suspended) {
    nb::object ones = pandas().attr("DataFrame")(1.0, "index"_a = suspended.attr("index"),
                                                 "columns"_a = suspended.attr("columns"));
    return ones.attr("where")(suspended.attr("__eq__")(1));
}

nb::object at_limit(nb::handle price, nb::handle limit) {
    nb::object aligned = limit.attr("reindex")("index"_a = price.attr("index"),
                                               "columns"_a = price.attr("columns"));
    return price.attr("__eq__")(aligned);
}

}  // namespace

nb::dict build_from_matrices(nb::handle /*self*/, nb::handle source_in) {
    orvanta::require_dict(source_in, "source");
    nb::object source = nb::borrow(source_in);
    nb::object close = source["Close"];
    nb::object open = source["Open"];
    nb::object industry = source["rq_industry_exposure_new"];
    nb::object buy_price = source["tick_vwap_price_935_1005"];
    nb::object sell_price = source["tick_vwap_price_925_1000"];
    nb::object split_source = source["split_coefficient_to"];
    nb::object dividend_source = source["rq_get_dividend"];
    nb::object suspended = source["rq_is_suspended"];
    nb::object limit_down = source["limit_down"];
    nb::object limit_up = source["limit_up"];

    nb::object close_valid = close * nb::int_(0) + nb::int_(1);
    nb::object prev_close = close.attr("shift")(1);
    nb::object close_index = close.attr("index");

    // Split and dividend fields are per ten shares; 10 % of a dividend goes to tax.
    nb::object split = split_source / nb::int_(10) * close_valid;
    nb::object first_close_date = close_index.attr("min")();
    split = rows_where(split, split.attr("index").attr("__ge__")(first_close_date));
    nb::object dividend =
        dividend_source / nb::int_(10) * nb::float_(0.9) + (close_valid - nb::int_(1));
    nb::object last_close_date = close_index.attr("max")();
    dividend = rows_where(dividend, dividend.attr("index").attr("__le__")(last_close_date));

    nb::object suspension = suspension_term(suspended);
    nb::object cant_sell = at_limit(sell_price, limit_down)
                               .attr("add")(suspension, "fill_value"_a = 0.0)
                               .attr("__gt__")(0);
    nb::object can_buy = at_limit(buy_price, limit_up)
                             .attr("add")(suspension, "fill_value"_a = 0.0)
                             .attr("__le__")(0);

    nb::object forward = open.attr("shift")(-2) / open.attr("shift")(-1) - nb::int_(1);
    nb::object rank =
        orvanta::infinities_to_nan(forward).attr("rank")("axis"_a = 1, "method"_a = "average");

    nb::dict out;
    out["industry_matrix"] = industry;
    out["close_price"] = close;
    out["open_price"] = open;
    out["close_price_valid"] = close_valid;
    out["prev_close"] = prev_close;
    out["buy_price"] = buy_price;
    out["sell_price"] = sell_price;
    out["rq_get_split"] = split;
    out["rq_get_dividend"] = dividend;
    out["can_buy_stock"] = can_buy;
    out["cant_sell_stock"] = cant_sell;
    out["forward_return_rank_cache"] = rank;
    return out;
}

nb::dict component_matrices(nb::handle self, nb::handle component_names, nb::handle batch) {
    orvanta::require_list(component_names, "component_names");
    orvanta::require_dict(batch, "batch", None::allowed);
    nb::dict matrices;
    for (nb::handle name : component_names) {
        nb::object matrix;
        try {
            if (!batch.is_none()) matrix = batch.attr("get")(name);
            if (!has_rows(matrix)) matrix = self.attr("_read_normal_factor_matrix")(name);
        } catch (nb::python_error& error) {
            if (!is_network_error(error)) throw;
            continue;  // the caller decides whether a missing component is fatal
        }
        if (!has_rows(matrix)) continue;
        nb::object finite = orvanta::infinities_to_nan(matrix);
        nb::object members = finite.attr("where")(finite.attr("__ne__")(0));
        nb::object present = members.attr("notna")();
        nb::object mask = present.attr("astype")(nb::str("float64")).attr("where")(present);
        matrices[name] = mask.attr("sort_index")();
    }
    return matrices;
}

}  // namespace prepare
