// Summary statistics of one backtest from the unified table and the weight matrix.
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "kernels/holdings.h"
#include "kernels/series_stats.h"
#include "orvanta/arrays.h"
#include "orvanta/context.h"
#include "orvanta/pycall.h"
#include "registry.h"

using namespace nanobind::literals;

namespace vantor {

namespace {

namespace k = orvanta::kernels;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The key order of a result with no data differs from the computed one; readers go by key.
constexpr const char* kEmptyKeys[] = {
    "annual_return",   "long_sharp",      "max_dd",        "extra_annual_return",
    "extra_sharp",     "extra_max_dd",    "benchmark_annual_return",
    "benchmark_sharp", "return_corr",     "win_rate",      "excess_win_rate",
    "holding_count",   "turnover",
};

// One column of the table as float64 values.
struct Values {
    nb::object series;
    nb::object array;
    const double* data;
    std::int64_t n;
    Values(nb::handle frame, const char* name)
        : series(frame[name]),
          array(orvanta::f64_values(series)),
          data(orvanta::f64_data(array)),
          n(static_cast<std::int64_t>(nb::len(array))) {}

    double last() const { return data[n - 1]; }

    // The column without its infinite and NaN days, as a Series.
    nb::object finite_series() const {
        nb::object mask = orvanta::empty_vector(n, "bool");
        k::finite_mask(data, n, reinterpret_cast<std::uint8_t*>(orvanta::array_info(mask).data));
        return series[mask];
    }
};

// Pearson correlation as pandas computes it; infinite days make it NaN, quietly.
nb::object quiet_corr(nb::handle a, nb::handle b) {
    nb::object quiet = orvanta::import_attr("numpy", "errstate")("invalid"_a = "ignore",
                                                                 "divide"_a = "ignore");
    nb::object corr;
    orvanta::with_context(quiet, [&](nb::handle) { corr = a.attr("corr")(b); });
    return corr;
}

nb::object holdings_and_turnover(nb::handle signal_df, double& holding_count) {
    holding_count = kNaN;
    if (signal_df.is_none() || nb::len(signal_df) == 0) return nb::float_(kNaN);
    nb::object values = orvanta::f64_values(signal_df);
    const k::MatrixView<double> weights = orvanta::f64_matrix(values, "signal_df");
    double turnover = kNaN;
    {
        nb::gil_scoped_release unlocked;  // reads `values`, kept alive here
        holding_count = k::mean_holding_count(weights);
        turnover = k::mean_turnover(weights);
    }
    return nb::float_(turnover);
}

nb::dict calc_strategy_stats(nb::handle total_frame, nb::handle signal_df) {
    nb::object total = total_frame.attr("copy")().attr("dropna")();
    const auto rows = static_cast<std::int64_t>(nb::len(total));
    nb::dict stats;
    if (rows == 0) {
        for (const char* key : kEmptyKeys) stats[key] = kNaN;
        return stats;
    }
    nb::object sharpe = global("safe_sharpe");
    nb::object periods = global("TRADING_DAYS_PER_YEAR");
    const double trading_years = static_cast<double>(rows) / nb::cast<double>(periods);

    const Values strategy(total, "daily_return");
    const Values benchmark(total, "index_daily_return");
    const Values excess(total, "extra_daily_return");
    const Values net_value(total, "long");
    const Values benchmark_net_value(total, "close_net_value");
    const Values drawdown(total, "max_drowdown");
    const Values excess_return(total, "extra_return");
    const Values excess_drawdown(total, "extra_max_drowdown");
    const double benchmark_total_return = benchmark_net_value.last() - 1;

    double holding_count = kNaN;
    nb::object turnover = holdings_and_turnover(signal_df, holding_count);

    stats["annual_return"] = (net_value.last() - 1) / trading_years * 100;
    stats["long_sharp"] = sharpe(strategy.finite_series(), "periods"_a = periods);
    stats["max_dd"] = std::fabs(k::min_skip_nan(drawdown.data, drawdown.n));
    stats["benchmark_annual_return"] = benchmark_total_return / trading_years * 100;
    stats["benchmark_sharp"] = sharpe(benchmark.finite_series(), "periods"_a = periods);
    stats["extra_annual_return"] = excess_return.last() / trading_years * 100;
    stats["extra_sharp"] = sharpe(excess.finite_series(), "periods"_a = periods);
    stats["extra_max_dd"] = std::fabs(k::min_skip_nan(excess_drawdown.data, excess_drawdown.n));
    stats["return_corr"] = quiet_corr(strategy.series, benchmark.series);
    stats["win_rate"] = k::win_rate(strategy.data, strategy.n);
    stats["excess_win_rate"] = k::win_rate(excess.data, excess.n);
    stats["holding_count"] = holding_count;
    stats["turnover"] = turnover;
    return stats;
}

}  // namespace

void register_strategy_stats(nb::module_& m) {
    m.def("calc_strategy_stats", &calc_strategy_stats, "total_frame"_a.none(),
          "signal_df"_a.none(),
          "Summary statistics of a backtest: 13 keys.\n\n"
          "annual_return, benchmark_annual_return and extra_annual_return are in percent\n"
          "points per year; max_dd, extra_max_dd, win rates and turnover are ratios;\n"
          "holding_count is a number of stocks. A table without complete rows gives NaN for\n"
          "every key.");
}

}  // namespace vantor
