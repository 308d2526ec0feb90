// Weight smoothing and the daily VWAP return of a target-weight strategy.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "kernels/daily_return.h"
#include "orvanta/args.h"
#include "orvanta/arrays.h"
#include "orvanta/pycall.h"
#include "registry.h"

using namespace nanobind::literals;

namespace vantor {

namespace {

namespace k = orvanta::kernels;

nb::object smooth_strategy_weights(nb::handle strategy_matrix, nb::handle rolling_window) {
    const std::int64_t window = orvanta::to_int64(rolling_window, "rolling_window");
    if (window <= 1) return nb::borrow(strategy_matrix);
    nb::object smoothed = strategy_matrix.attr("fillna")(0.0)
                              .attr("rolling")(window)
                              .attr("mean")()
                              .attr("dropna")("how"_a = "all");
    // An average of exactly zero means no position, i.e. no signal.
    return smoothed.attr("where")(smoothed.attr("__ne__")(0));
}

std::string repr(double value) {
    return nb::cast<std::string>(nb::repr(nb::float_(value)));
}

// The market array under `key`, as the dtype the loop reads, shaped n_days x n_stocks.
nb::object market_array(nb::handle market, const char* key, const char* dtype,
                        std::int64_t n_days, std::int64_t n_stocks) {
    nb::object array = orvanta::import_attr("numpy", "asarray")(market[key], "dtype"_a = dtype);
    orvanta::ArrayInfo info = orvanta::array_info(array);
    if (info.shape.size() != 2 || info.shape[0] != n_days || info.shape[1] != n_stocks) {
        std::string msg = std::string("_build_market_arrays returned ") + key +
                          " of the wrong shape for " + std::to_string(n_days) + " days x " +
                          std::to_string(n_stocks) + " stocks";
        throw nb::value_error(msg.c_str());
    }
    return array;
}

nb::object calc_strategy_vwap_daily_return(
    nb::handle signal_matrix, nb::handle can_buy_stock, nb::handle cant_sell_stock,
    nb::handle split_factor, nb::handle dividend_factor, nb::handle close_price,
    nb::handle prev_close, nb::handle buy_price, nb::handle sell_price, nb::handle total_money,
    nb::handle fee, nb::handle rule_fee, nb::handle lot_size) {
    const double money = orvanta::to_float(total_money);
    const double fee_rate = orvanta::to_float(fee);
    const double rule_fee_rate = orvanta::to_float(rule_fee);
    const std::int64_t lot = orvanta::to_int64(lot_size, "lot_size");
    // A zero lot divides by zero and a negative capital flips every position.
    if (lot < 1) {
        std::string msg = "lot_size must be at least 1, not " + std::to_string(lot);
        throw nb::value_error(msg.c_str());
    }
    if (!std::isfinite(money) || money <= 0) {
        std::string msg = "total_money must be a positive finite number, not " + repr(money);
        throw nb::value_error(msg.c_str());
    }
    // Each row is traded on the next row's date, so the rows must be in date order.
    nb::object dates = signal_matrix.attr("index");
    if (!nb::cast<bool>(dates.attr("is_monotonic_increasing")) ||
        !nb::cast<bool>(dates.attr("is_unique")))
        throw nb::value_error(
            "signal_matrix dates must be strictly ascending (found unsorted or repeated dates)");

    nb::object weights = orvanta::f64_values(signal_matrix);
    const k::MatrixView<double> signal = orvanta::f64_matrix(weights, "signal_matrix");
    std::vector<std::uint8_t> has_weight(static_cast<size_t>(signal.rows));
    {
        nb::gil_scoped_release unlocked;  // reads `weights`, which this frame keeps alive
        k::rows_with_weight(signal, has_weight.data());
    }
    // Day k trades row k - 1; a row without any weight trades nothing and its day drops out.
    std::vector<std::int64_t> signal_rows;
    for (std::int64_t r = 1; r < signal.rows; ++r)
        if (has_weight[static_cast<size_t>(r - 1)]) signal_rows.push_back(r - 1);
    const auto n_days = static_cast<std::int64_t>(signal_rows.size());
    if (n_days == 0) return orvanta::import_attr("pandas", "Series")("dtype"_a = "float64");

    nb::object day_rows = orvanta::empty_vector(n_days, "int64");
    std::int64_t* day_row = orvanta::i64_data(day_rows);
    for (std::int64_t i = 0; i < n_days; ++i) day_row[i] = signal_rows[static_cast<size_t>(i)] + 1;
    nb::object pnl_index = dates.attr("take")(day_rows);
    nb::object columns = signal_matrix.attr("columns");

    nb::object market = global("_build_market_arrays")(
        pnl_index, columns, can_buy_stock, cant_sell_stock, split_factor, dividend_factor,
        close_price, prev_close, buy_price, sell_price);
    const std::int64_t n_stocks = signal.cols;
    nb::object prev_arr = market_array(market, "prev_close_arr", "float64", n_days, n_stocks);
    nb::object buy_ok_arr = market_array(market, "can_buy_arr", "bool", n_days, n_stocks);
    nb::object sell_blocked_arr = market_array(market, "cant_sell_arr", "bool", n_days, n_stocks);
    nb::object close_arr = market_array(market, "close_arr", "float64", n_days, n_stocks);
    nb::object buy_arr = market_array(market, "buy_price_arr", "float64", n_days, n_stocks);
    nb::object sell_arr = market_array(market, "sell_price_arr", "float64", n_days, n_stocks);
    nb::object split_arr = market_array(market, "split_arr", "float64", n_days, n_stocks);
    nb::object dividend_arr = market_array(market, "dividend_arr", "float64", n_days, n_stocks);

    k::DailyReturnInputs in;
    in.signal = signal;
    in.signal_rows = signal_rows.data();
    in.can_buy = orvanta::flag_matrix(buy_ok_arr, "can_buy_arr");
    in.cant_sell = orvanta::flag_matrix(sell_blocked_arr, "cant_sell_arr");
    in.split = orvanta::f64_matrix(split_arr, "split_arr");
    in.dividend = orvanta::f64_matrix(dividend_arr, "dividend_arr");
    in.close = orvanta::f64_matrix(close_arr, "close_arr");
    in.prev_close = orvanta::f64_matrix(prev_arr, "prev_close_arr");
    in.buy_price = orvanta::f64_matrix(buy_arr, "buy_price_arr");
    in.sell_price = orvanta::f64_matrix(sell_arr, "sell_price_arr");
    in.n_days = n_days;
    in.n_stocks = n_stocks;
    in.total_money = money;
    in.fee = fee_rate;
    in.rule_fee = rule_fee_rate;
    in.lot_size = static_cast<double>(lot);

    nb::object result = orvanta::empty_vector(n_days, "float64");
    double* daily = orvanta::f64_data(result);
    {
        // Pure arithmetic over the arrays held above; lets other threads backtest meanwhile.
        nb::gil_scoped_release unlocked;
        k::vwap_daily_cash(in, daily);
        for (std::int64_t i = 0; i < n_days; ++i) daily[i] /= money;
    }
    return orvanta::import_attr("pandas", "Series")(result, "index"_a = pnl_index,
                                                     "copy"_a = false);
}

}  // namespace

void register_daily_return(nb::module_& m) {
    m.def("_smooth_strategy_weights", &smooth_strategy_weights, "strategy_matrix"_a.none(),
          "rolling_window"_a.none(),
          "Rolling mean of the weights over ``rolling_window`` rows (NaN read as 0).\n\n"
          "0 or 1 returns ``strategy_matrix`` itself. Rows before a full window are\n"
          "dropped and an average of exactly 0 becomes NaN (no signal).");
    m.def("calc_strategy_vwap_daily_return", &calc_strategy_vwap_daily_return,
          "signal_matrix"_a.none(), "can_buy_stock"_a.none(), "cant_sell_stock"_a.none(),
          "split_factor"_a.none(), "dividend_factor"_a.none(), "close_price"_a.none(),
          "prev_close"_a.none(), "buy_price"_a.none(), "sell_price"_a.none(),
          "total_money"_a.none() = 1e8, "fee"_a.none() = 0.0001, "rule_fee"_a.none() = 0.0005,
          "lot_size"_a.none() = 200,
          "Daily portfolio return of a target-weight matrix traded at VWAP prices.\n\n"
          "The weights of each date are traded on the next date of ``signal_matrix`` in\n"
          "whole lots of ``lot_size`` shares, sized at the previous close against the fixed\n"
          "``total_money``. Purchases are made only where ``can_buy_stock`` is True and\n"
          "sales only where ``cant_sell_stock`` is False; what is blocked is retried the\n"
          "next day. Splits and cash dividends are credited, ``fee`` is paid on both sides\n"
          "and ``rule_fee`` on sales. Returns the profit of each day divided by\n"
          "``total_money``, indexed by the trading dates.");
}

}  // namespace vantor
