// orvanta.backtest._vantor: the strategy backtest core. This file only registers; each group
// of functions lives in its own file.
#include "registry.h"

NB_MODULE(_vantor, m) {
    m.doc() = "Single-strategy backtest core: daily VWAP returns, backtest table, statistics.";
    vantor::register_globals(m);
    vantor::register_core_result(m);
    vantor::register_daily_return(m);
    vantor::register_backtest_frame(m);
    vantor::register_strategy_stats(m);
    vantor::register_yearly_metrics(m);
    vantor::register_formatters(m);
    vantor::register_weekly_frame(m);
    vantor::register_yearly_table(m);
    vantor::register_performance_chart(m);
    vantor::register_weekly_chart(m);
    vantor::register_pipeline(m);
}
