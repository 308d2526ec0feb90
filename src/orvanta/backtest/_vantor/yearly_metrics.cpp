// Per-period and per-calendar-year return, Sharpe, drawdown and Calmar figures. All figures
// are ratios; a period's return is the plain sum of its simple daily returns.
#include <nanobind/stl/tuple.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <tuple>
#include <vector>

#include "kernels/period_metrics.h"
#include "orvanta/arrays.h"
#include "orvanta/pycall.h"
#include "report.h"

namespace vantor {

namespace {

using namespace nb::literals;

constexpr double kTradingDaysPerYear = 252.0;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct PeriodResult {
    double period_return = kNaN;
    double max_drawdown = kNaN;
    double calmar = kNaN;
};

PeriodResult period_result(const double* returns, std::size_t n) {
    if (n == 0) return {};
    orvanta::kernels::PeriodFigures f;
    {
        // Plain arithmetic over memory the caller keeps alive.
        nb::gil_scoped_release unlocked;
        f = orvanta::kernels::period_figures(returns, n);
    }
    const double annualized = f.mean * kTradingDaysPerYear;
    const bool usable = !std::isnan(f.max_drawdown) && f.max_drawdown > 1e-12;
    return {f.total, f.max_drawdown, usable ? annualized / f.max_drawdown : kNaN};
}

std::tuple<double, double, double> period_return_drawdown_calmar(nb::handle daily_return) {
    if (daily_return.is_none() || nb::len(daily_return) == 0) return {kNaN, kNaN, kNaN};
    Column values = column_values(daily_return);
    PeriodResult r = period_result(values.data, values.size);
    return {r.period_return, r.max_drawdown, r.calmar};
}

// The finite values of one year's column, as the Series safe_sharpe is given.
struct YearSeries {
    std::vector<double> values;
    std::vector<std::int64_t> positions;
};

YearSeries finite_part(const Column& column, const std::vector<std::int64_t>& rows) {
    YearSeries out;
    for (std::int64_t row : rows) {
        const double v = column.data[row];
        if (!std::isfinite(v)) continue;
        out.values.push_back(v);
        out.positions.push_back(row);
    }
    return out;
}

}  // namespace

nb::object calc_yearly_performance_metrics(nb::handle daily) {
    nb::module_ pd = nb::module_::import_("pandas");
    nb::object index = daily.attr("index");
    Column years = column_values(index.attr("year"));

    // groupby(index.year): years ascending, rows in their original order, NaT left out.
    std::map<double, std::vector<std::int64_t>> groups;
    for (std::size_t i = 0; i < years.size; ++i) {
        if (!std::isnan(years.data[i]))
            groups[years.data[i]].push_back(static_cast<std::int64_t>(i));
    }
    if (groups.empty()) return pd.attr("DataFrame")();

    nb::object strategy_col = daily["daily_return"];
    nb::object excess_col = daily["extra_daily_return"];
    Column strategy = column_values(strategy_col);
    Column excess = column_values(excess_col);
    nb::object safe_sharpe = global("safe_sharpe");
    nb::object series_type = pd.attr("Series");

    nb::list rows;
    for (auto& [year, members] : groups) {
        YearSeries s = finite_part(strategy, members);
        YearSeries e = finite_part(excess, members);
        if (s.values.empty() && e.values.empty()) continue;
        PeriodResult sr = period_result(s.values.data(), s.values.size());
        PeriodResult er = period_result(e.values.data(), e.values.size());
        auto as_series = [&](const YearSeries& part, const char* name) {
            nb::object values =
                orvanta::empty_vector(static_cast<std::int64_t>(part.values.size()), "float64");
            std::copy(part.values.begin(), part.values.end(), orvanta::f64_data(values));
            nb::list positions;
            for (std::int64_t p : part.positions) positions.append(p);
            return series_type(values, "index"_a = index.attr("take")(positions), "name"_a = name);
        };
        nb::object strategy_sharpe = safe_sharpe(as_series(s, "daily_return"));
        nb::object excess_sharpe = safe_sharpe(as_series(e, "extra_daily_return"));
        nb::dict row;
        row["year"] = static_cast<long long>(year);
        row["strategy_return"] = sr.period_return;
        row["strategy_sharpe"] = strategy_sharpe;
        row["strategy_max_dd"] = sr.max_drawdown;
        row["strategy_calmar"] = sr.calmar;
        row["excess_return"] = er.period_return;
        row["excess_sharpe"] = excess_sharpe;
        row["excess_max_dd"] = er.max_drawdown;
        row["excess_calmar"] = er.calmar;
        rows.append(row);
    }
    if (nb::len(rows) == 0) return pd.attr("DataFrame")();
    return pd.attr("DataFrame")(rows).attr("set_index")("year").attr("sort_index")();
}

void register_yearly_metrics(nb::module_& m) {
    m.def("_period_return_drawdown_calmar", &period_return_drawdown_calmar, "daily_return"_a.none(),
          "(period_return, max_drawdown, calmar) of one period's daily returns.\n\n"
          "The drawdown peak starts at 0, so losses from the first day count; calmar is the\n"
          "annualised mean return over the drawdown, NaN when the drawdown is at most 1e-12.\n"
          "(nan, nan, nan) for None or an empty series.");
    m.def("_calc_yearly_performance_metrics", &calc_yearly_performance_metrics, "daily"_a,
          "Per-calendar-year strategy and excess return, Sharpe, max drawdown and Calmar.\n\n"
          "``daily`` needs a DatetimeIndex and the columns daily_return and\n"
          "extra_daily_return; returns an empty DataFrame when no year has data.");
}

}  // namespace vantor
