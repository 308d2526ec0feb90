// run_strategy_backtest_core: align and clean the weights, compute the daily VWAP returns,
// join the primary benchmark, derive the unified table and statistics, summarise every
// benchmark and draw the charts when asked.
#include <cstdint>
#include <string>
#include <vector>

#include "kernels/daily_return.h"
#include "orvanta/args.h"
#include "orvanta/arrays.h"
#include "orvanta/pycall.h"
#include "registry.h"
#include "report.h"

using namespace nanobind::literals;

namespace vantor {

namespace {

namespace k = orvanta::kernels;
using orvanta::None;

constexpr double kTradingDaysPerYear = 252.0;

nb::list names(std::initializer_list<const char*> items) {
    nb::list out;
    for (const char* item : items) out.append(item);
    return out;
}

// Which rows (or columns) of a weight frame hold any non-NaN value. The scan stops at the
// first weight of each line, so on real weights it reads little of the matrix.
std::vector<std::uint8_t> lines_with_weight(nb::handle frame, bool columns) {
    nb::object values = orvanta::f64_values(frame);
    const k::MatrixView<double> view = orvanta::f64_matrix(values, "strategy_matrix");
    std::vector<std::uint8_t> has(static_cast<std::size_t>(columns ? view.cols : view.rows));
    {
        nb::gil_scoped_release unlocked;  // reads `values`, which stays alive here
        if (columns)
            k::columns_with_weight(view, has.data());
        else
            k::rows_with_weight(view, has.data());
    }
    return has;
}

nb::list positions_of(const std::vector<std::uint8_t>& flags) {
    nb::list out;
    for (std::size_t i = 0; i < flags.size(); ++i)
        if (flags[i]) out.append(i);
    return out;
}

// strategy_matrix restricted to the close matrix's dates and stocks, without the stocks
// that never have a weight. The frame itself is reused when nothing is dropped.
nb::object aligned_weights(nb::handle strategy_matrix, nb::handle close_price) {
    nb::object work = nb::borrow(strategy_matrix);
    nb::object dates = work.attr("index").attr("intersection")(close_price.attr("index"));
    if (!nb::cast<bool>(dates.attr("equals")(work.attr("index")))) work = work.attr("loc")[dates];
    nb::object common = work.attr("columns").attr("intersection")(close_price.attr("columns"));
    if (!nb::cast<bool>(common.attr("equals")(work.attr("columns"))))
        work =
            work.attr("loc")[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), common)];
    std::vector<std::uint8_t> keep = lines_with_weight(work, true);
    for (std::uint8_t flag : keep) {
        if (!flag)
            return work.attr("iloc")[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()),
                                                    positions_of(keep))];
    }
    return work;
}

nb::object benchmark_summary_of(nb::handle benchmark_dict, nb::handle total, nb::module_& pd) {
    if (benchmark_dict.is_none() || nb::len(benchmark_dict) == 0) return pd.attr("DataFrame")();
    nb::object safe_sharpe = global("safe_sharpe");
    nb::object dates = total.attr("index");
    nb::object strategy = total["daily_return"];
    nb::list rows;
    for (auto [name, bm_daily] : nb::borrow<nb::dict>(benchmark_dict)) {
        nb::object aligned = bm_daily.attr("reindex")(dates).attr("dropna")();
        nb::object common_idx = dates.attr("intersection")(aligned.attr("index"));
        if (nb::len(common_idx) == 0) continue;
        nb::object strat = strategy.attr("loc")[common_idx];
        nb::object bench = aligned.attr("loc")[common_idx];
        nb::object excess_daily = strat - bench;
        nb::object excess_cum = excess_daily.attr("cumsum")();
        nb::dict row;
        row["benchmark_name"] = name;
        row["benchmark_annual_return"] = bench.attr("mean")() * nb::float_(kTradingDaysPerYear);
        row["excess_annual_return"] = excess_daily.attr("mean")() * nb::float_(kTradingDaysPerYear);
        row["excess_sharpe"] = safe_sharpe(excess_daily, "periods"_a = 252);
        row["excess_max_dd"] = (excess_cum - excess_cum.attr("cummax")()).attr("min")();
        rows.append(row);
    }
    return pd.attr("DataFrame")(rows);
}

nb::object run_strategy_backtest_core(
    nb::handle strategy_matrix, nb::handle can_buy_stock, nb::handle cant_sell_stock,
    nb::handle split_factor, nb::handle dividend_factor, nb::handle close_price,
    nb::handle prev_close, nb::handle buy_price, nb::handle sell_price, nb::handle benchmark_dict,
    nb::handle benchmark_names, nb::handle rolling_window_arg, nb::handle total_money_arg,
    nb::handle fee_arg, nb::handle rule_fee_arg, nb::handle plot_image_kind,
    nb::handle plot_save_path, nb::handle strategy_name, nb::handle plot_title) {
    orvanta::require_dict(benchmark_dict, "benchmark_dict", None::allowed);
    orvanta::require_str(benchmark_names, "benchmark_names");
    nb::int_ rolling_window = orvanta::to_int(rolling_window_arg, "rolling_window");
    nb::float_ total_money(orvanta::to_float(total_money_arg));
    nb::float_ fee(orvanta::to_float(fee_arg));
    nb::float_ rule_fee(orvanta::to_float(rule_fee_arg));
    orvanta::require_str(plot_image_kind, "plot_image_kind", None::allowed);
    orvanta::require_str(strategy_name, "strategy_name");
    orvanta::require_str(plot_title, "plot_title", None::allowed);

    nb::module_ pd = nb::module_::import_("pandas");
    nb::object result_type = global("_StrategyCoreResult");

    nb::object work = aligned_weights(strategy_matrix, close_price);
    work = global("_smooth_strategy_weights")(work, rolling_window);
    std::vector<std::uint8_t> has_weight = lines_with_weight(work, false);
    nb::list weighted_rows = positions_of(has_weight);

    nb::object empty_frame =
        pd.attr("DataFrame")("columns"_a = names({"daily_return", "index_daily_return", "long",
                                                  "close_net_value", "max_drowdown", "extra_return",
                                                  "extra_max_drowdown", "extra_daily_return"}));
    nb::object empty_stats = global("calc_strategy_stats")(empty_frame, work);
    auto empty_result = [&]() {
        nb::object empty = pd.attr("Series")("dtype"_a = "float64");
        return result_type("strategy_name"_a = strategy_name, "daily_return"_a = empty,
                           "cumulative_return"_a = empty, "stats"_a = empty_stats,
                           "benchmark_summary"_a = pd.attr("DataFrame")(),
                           "plot_paths"_a = nb::dict());
    };
    if (nb::len(weighted_rows) == 0) return empty_result();

    nb::object daily_return = global("calc_strategy_vwap_daily_return")(
        "signal_matrix"_a = work, "can_buy_stock"_a = can_buy_stock,
        "cant_sell_stock"_a = cant_sell_stock, "split_factor"_a = split_factor,
        "dividend_factor"_a = dividend_factor, "close_price"_a = close_price,
        "prev_close"_a = prev_close, "buy_price"_a = buy_price, "sell_price"_a = sell_price,
        "total_money"_a = total_money, "fee"_a = fee, "rule_fee"_a = rule_fee);
    if (nb::len(daily_return) == 0) return empty_result();

    // Trailing rows without any weight do not extend the backtest.
    nb::object last_weighted = work.attr("index").attr("take")(weighted_rows).attr("max")();
    daily_return = daily_return[daily_return.attr("index").attr("__le__")(last_weighted)];
    // Nothing is left when the only weighted date is the last one: the join below would end
    // empty as well, so stop here rather than bound the benchmark by an empty index.
    if (nb::len(daily_return) == 0) return empty_result();

    nb::dict columns;
    columns["daily_return"] = daily_return;
    nb::object df = pd.attr("DataFrame")(columns);
    nb::object total_backtesting;
    const bool has_primary =
        !benchmark_dict.is_none() && nb::borrow<nb::dict>(benchmark_dict).contains(benchmark_names);
    if (has_primary) {
        nb::object as_float = nb::borrow<nb::dict>(benchmark_dict)[benchmark_names].attr("astype")(
            nb::handle(reinterpret_cast<PyObject*>(&PyFloat_Type)));
        nb::object bm_daily = orvanta::infinities_to_nan(as_float).attr("fillna")(0.0);
        // The benchmark's net value sums its returns from its own first date.
        nb::dict bm_columns;
        bm_columns["close"] = bm_daily.attr("cumsum")().attr("add")(1.0);
        bm_columns["index_daily_return"] = bm_daily;
        nb::object benchmark = pd.attr("DataFrame")(bm_columns);
        nb::object df_dates = df.attr("index");
        benchmark =
            benchmark.attr("loc")[benchmark.attr("index").attr("__ge__")(df_dates.attr("min")())];
        benchmark =
            benchmark.attr("loc")[benchmark.attr("index").attr("__le__")(df_dates.attr("max")())];
        nb::list parts;
        parts.append(df);
        parts.append(benchmark);
        total_backtesting = pd.attr("concat")(parts, "axis"_a = 1, "join"_a = "inner");
    } else {
        // A flat benchmark: zero returns, net value 1.
        total_backtesting = df.attr("assign")("index_daily_return"_a = 0.0, "close"_a = 1.0);
    }
    if (nb::len(total_backtesting) == 0) return empty_result();

    nb::object total = global("_build_total_backtesting_frame")(total_backtesting);
    nb::object stats = global("calc_strategy_stats")(total, work);
    nb::object benchmark_summary = benchmark_summary_of(benchmark_dict, total, pd);

    nb::dict plot_paths;
    if (!plot_image_kind.is_none() && !plot_save_path.is_none()) {
        nb::object main_path = orvanta::import_attr("pathlib", "Path")(plot_save_path);
        std::string weekly_name = std::string(orvanta::utf8(main_path.attr("stem"))) +
                                  "_weekly_net_value" +
                                  std::string(orvanta::utf8(main_path.attr("suffix")));
        nb::object weekly_path = main_path.attr("with_name")(weekly_name);
        global("plot_strategy_performance")(
            "total"_a = total, "stats"_a = stats, "strategy_name"_a = strategy_name,
            "plot_title"_a = plot_title, "save_path"_a = main_path,
            "image_kind"_a = plot_image_kind, "benchmark_name"_a = benchmark_names,
            "rolling_window"_a = rolling_window);
        global("plot_weekly_net_value")("total"_a = total, "strategy_name"_a = strategy_name,
                                        "plot_title"_a = plot_title, "save_path"_a = weekly_path,
                                        "image_kind"_a = plot_image_kind,
                                        "benchmark_name"_a = benchmark_names);
        plot_paths["main"] = nb::str(main_path);
        plot_paths["weekly_net_value"] = nb::str(weekly_path);
    }
    return result_type("strategy_name"_a = strategy_name, "daily_return"_a = total["daily_return"],
                       "cumulative_return"_a = total["long"], "stats"_a = stats,
                       "benchmark_summary"_a = benchmark_summary, "plot_paths"_a = plot_paths);
}

}  // namespace

void register_pipeline(nb::module_& m) {
    m.def("run_strategy_backtest_core", &run_strategy_backtest_core, "strategy_matrix"_a.none(),
          "can_buy_stock"_a.none(), "cant_sell_stock"_a.none(), "split_factor"_a.none(),
          "dividend_factor"_a.none(), "close_price"_a.none(), "prev_close"_a.none(),
          "buy_price"_a.none(), "sell_price"_a.none(), "benchmark_dict"_a.none() = nb::none(),
          "benchmark_names"_a.none() = "000852", "rolling_window"_a.none() = 0,
          "total_money"_a.none() = 1e8, "fee"_a.none() = 0.0001, "rule_fee"_a.none() = 0.0005,
          "plot_image_kind"_a.none() = "large", "plot_save_path"_a.none() = nb::none(),
          "strategy_name"_a.none() = "strategy", "plot_title"_a.none() = nb::none(),
          "Run a single-strategy backtest and return a _StrategyCoreResult.\n\n"
          "The weights are restricted to the close matrix's dates and stocks, optionally\n"
          "smoothed over ``rolling_window`` days, traded at VWAP with lot rounding and fees,\n"
          "and compared with the primary benchmark ``benchmark_names`` of ``benchmark_dict``\n"
          "(a flat benchmark when it is missing). ``benchmark_summary`` has one row per\n"
          "benchmark that overlaps the result dates. Charts are drawn only when both\n"
          "``plot_image_kind`` and ``plot_save_path`` are given; the weekly chart goes to the\n"
          "main path's stem followed by \"_weekly_net_value\".");
}

}  // namespace vantor
