// One register_<group>(m) per source file of the module; vantor_module.cpp calls them in
// the order the module's names come into being.
#pragma once

#include <nanobind/nanobind.h>

namespace vantor {

namespace nb = nanobind;

// Imports, the plot lock and the integer constants (must run first).
void register_globals(nb::module_& m);
// _StrategyCoreResult (right after the constants).
void register_core_result(nb::module_& m);
// _smooth_strategy_weights, calc_strategy_vwap_daily_return.
void register_daily_return(nb::module_& m);
// _build_total_backtesting_frame.
void register_backtest_frame(nb::module_& m);
// calc_strategy_stats.
void register_strategy_stats(nb::module_& m);
// _period_return_drawdown_calmar, _calc_yearly_performance_metrics.
void register_yearly_metrics(nb::module_& m);
// _format_pct, _format_pct_points, _format_num, _format_annual_excess.
void register_formatters(nb::module_& m);
// _build_weekly_net_value_frame.
void register_weekly_frame(nb::module_& m);
// _draw_yearly_metrics_table.
void register_yearly_table(nb::module_& m);
// plot_strategy_performance, _plot_strategy_performance_unlocked.
void register_performance_chart(nb::module_& m);
// plot_weekly_net_value, _plot_weekly_net_value_unlocked.
void register_weekly_chart(nb::module_& m);
// run_strategy_backtest_core.
void register_pipeline(nb::module_& m);

// A module-level name of orvanta.backtest._vantor, looked up when called (as a Python
// function reads its globals), e.g. "safe_sharpe", "TRADING_DAYS_PER_YEAR".
nb::object global(const char* name);

}  // namespace vantor
