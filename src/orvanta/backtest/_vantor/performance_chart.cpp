// The main result chart: metric cards, cumulative and excess returns with drawdowns, yearly
// bars, rolling excess stability, drawdowns, a summary table and the yearly metrics table.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "charts.h"
#include "kernels/rolling_window.h"
#include "orvanta/args.h"
#include "orvanta/arrays.h"
#include "orvanta/pycall.h"
#include "report.h"

namespace vantor {

namespace {

using namespace nb::literals;
using orvanta::float_list;
using orvanta::None;

constexpr long kRollingStabilityDays = 60;
constexpr long kMinRollingStabilityDays = 5;
constexpr double kTradingDaysPerYear = 252.0;

nb::object as_floats(nb::handle series) { return series.attr("to_numpy")("dtype"_a = "float64"); }

struct Card {
    const char* label;
    const char* key;
    std::string (*format)(nb::handle, int);
};

void draw_cards(nb::handle ax, nb::handle stats) {
    const Card cards[] = {
        {"Strategy Ann.", "annual_return", &format_pct_points},
        {"Strategy Sharpe", "long_sharp", &format_num},
        {"Strategy Max DD", "max_dd", &format_pct},
        {"Excess Ann.", "extra_annual_return", &format_pct_points},
        {"Excess Sharpe", "extra_sharp", &format_num},
        {"Excess Max DD", "extra_max_dd", &format_pct},
        {"Strategy Win", "win_rate", &format_pct},
        {"Excess Win", "excess_win_rate", &format_pct},
        {"Turnover", "turnover", &format_pct},
    };
    const double n = static_cast<double>(std::size(cards));
    ax.attr("axis")("off");
    nb::dict box;
    box["boxstyle"] = "round,pad=0.34";
    box["facecolor"] = "white";
    box["edgecolor"] = "#d6dbe6";
    box["linewidth"] = 1.0;
    nb::object to_axes = ax.attr("transAxes");
    for (std::size_t i = 0; i < std::size(cards); ++i) {
        const double x = (static_cast<double>(i) + 0.5) / n;
        nb::object value = stats.attr("get")(cards[i].key);
        ax.attr("text")(x, 0.6, cards[i].format(value, 2), "transform"_a = to_axes,
                        "ha"_a = "center", "va"_a = "center", "fontsize"_a = 13,
                        "fontweight"_a = "bold", "color"_a = "#0f172a", "bbox"_a = box);
        ax.attr("text")(x, 0.2, cards[i].label, "transform"_a = to_axes, "ha"_a = "center",
                        "va"_a = "center", "fontsize"_a = 8.5, "color"_a = "#64748b");
    }
}

struct Panels {
    nb::object cards, cum, excess, year, rolling, drawdown, table, yearly_table;
};

Panels make_layout(nb::handle fig, bool is_long) {
    Panels p;
    auto add = [&](nb::handle gs, long r0, long r1, long c0, long c1) {
        return fig.attr("add_subplot")(grid_cell(gs, r0, r1, c0, c1));
    };
    if (is_long) {
        nb::object gs = fig.attr("add_gridspec")(
            7, 2, "height_ratios"_a = float_list({0.7, 3.2, 3.0, 2.7, 2.7, 1.5, 2.0}),
            "hspace"_a = 0.42, "wspace"_a = 0.22);
        p.cards = add(gs, 0, 1, 0, 2);
        p.cum = add(gs, 1, 2, 0, 2);
        p.excess = add(gs, 2, 3, 0, 2);
        p.year = add(gs, 3, 4, 0, 1);
        p.rolling = add(gs, 3, 4, 1, 2);
        p.drawdown = add(gs, 4, 5, 0, 2);
        p.table = add(gs, 5, 6, 0, 2);
        p.yearly_table = add(gs, 6, 7, 0, 2);
    } else {
        nb::object gs =
            fig.attr("add_gridspec")(4, 3, "height_ratios"_a = float_list({0.62, 2.55, 2.15, 1.6}),
                                     "width_ratios"_a = float_list({1.05, 1.05, 1.0}));
        p.cards = add(gs, 0, 1, 0, 3);
        p.cum = add(gs, 1, 2, 0, 2);
        p.excess = add(gs, 1, 2, 2, 3);
        p.year = add(gs, 2, 3, 0, 1);
        p.rolling = add(gs, 2, 3, 1, 2);
        p.drawdown = add(gs, 2, 3, 2, 3);
        p.table = add(gs, 3, 4, 0, 1);
        p.yearly_table = add(gs, 3, 4, 1, 3);
    }
    return p;
}

void draw_yearly_bars(const Pyplot& py, nb::handle ax, nb::handle yearly,
                      nb::handle benchmark_name) {
    const std::size_t n_years = nb::len(yearly);
    if (n_years > 0) {
        nb::object x = orvanta::import_attr("numpy", "arange")(n_years);
        const double width = 0.26;
        ax.attr("bar")(x - nb::float_(width), yearly["daily_return"], width, "label"_a = "Strategy",
                       "color"_a = kStrategyBlue, "alpha"_a = 0.86);
        ax.attr("bar")(x, yearly["index_daily_return"], width, "label"_a = benchmark_name,
                       "color"_a = kBenchmarkInk, "alpha"_a = 0.72);
        nb::object excess_values = yearly["extra_daily_return"];
        nb::object excess_bars =
            ax.attr("bar")(x + nb::float_(width), excess_values, width, "label"_a = "Excess",
                           "color"_a = kExcessRed, "alpha"_a = 0.82);

        Column all = column_values(yearly.attr("to_numpy")("dtype"_a = "float64").attr("ravel")());
        // Largest absolute yearly figure of all three columns, NaN skipped (numpy.nanmax).
        double max_abs = std::numeric_limits<double>::quiet_NaN();
        for (std::size_t i = 0; i < all.size; ++i) {
            const double a = std::fabs(all.data[i]);
            if (!std::isnan(a) && (std::isnan(max_abs) || a > max_abs)) max_abs = a;
        }
        const double offset = std::isfinite(max_abs) ? std::max(max_abs * 0.025, 0.003) : 0.003;

        nb::list values = nb::borrow<nb::list>(excess_values.attr("tolist")());
        std::size_t i = 0;
        for (nb::handle bar : excess_bars) {
            nb::handle value = values[i++];
            if (is_missing(value)) continue;
            const double v = nb::cast<double>(value);
            const double bx = nb::cast<double>(bar.attr("get_x")()) +
                              nb::cast<double>(bar.attr("get_width")()) / 2.0;
            const bool up = v >= 0.0;
            ax.attr("text")(bx, up ? v + offset : v - offset, format_pct(value), "ha"_a = "center",
                            "va"_a = up ? "bottom" : "top", "fontsize"_a = 8.2,
                            "color"_a = "#991b1b", "rotation"_a = 90);
        }
        ax.attr("margins")("y"_a = 0.22);
        ax.attr("set_xticks")(x);
        ax.attr("set_xticklabels")(yearly.attr("index").attr("astype")("str"), "rotation"_a = 45,
                                   "ha"_a = "right");
        ax.attr("legend")("loc"_a = "best", "frameon"_a = true, "framealpha"_a = 0.92);
    } else {
        centred_note(ax, "No yearly data");
    }
    reference_line(ax, 0.0);
    ax.attr("set_title")("Yearly Return");
    ax.attr("yaxis").attr("set_major_formatter")(py.percent());
}

void draw_rolling(const Pyplot& py, nb::handle ax, nb::handle daily) {
    const long n = static_cast<long>(nb::len(daily));
    const long rolling_days = n >= kRollingStabilityDays
                                  ? kRollingStabilityDays
                                  : std::max(n / 3, kMinRollingStabilityDays);
    if (n >= rolling_days && rolling_days > 1) {
        nb::object excess = daily["extra_daily_return"];
        nb::object window = excess.attr("rolling")(rolling_days);
        nb::object sharpe = window.attr("mean")() / window.attr("std")() *
                            nb::float_(std::sqrt(kTradingDaysPerYear));

        Column values = column_values(excess);
        nb::object win = orvanta::empty_vector(n, "float64");
        double* out = orvanta::f64_data(win);
        {
            // Reads the column buffer and writes the new array; no Python object is touched.
            nb::gil_scoped_release unlocked;
            orvanta::kernels::rolling_positive_share(values.data, values.size,
                                                     static_cast<std::size_t>(rolling_days), out);
        }
        nb::object index = excess.attr("index");
        const std::string days = std::to_string(rolling_days);
        ax.attr("plot")(index, sharpe, "color"_a = "#7c3aed", "linewidth"_a = 2.0,
                        "label"_a = days + "D Excess Sharpe");
        reference_line(ax, 0.0);
        nb::object twin = ax.attr("twinx")();
        twin.attr("plot")(index, win, "color"_a = "#16a34a", "linewidth"_a = 1.6, "alpha"_a = 0.8,
                          "label"_a = days + "D Win Rate");
        twin.attr("yaxis").attr("set_major_formatter")(py.percent());
        merged_legend(ax, twin, "best");
    } else {
        centred_note(ax, "Not enough data");
    }
    ax.attr("set_title")("Rolling Excess Stability");
}

// A return panel with its drawdown twin: zero line, title and both axes in percent.
void label_return_panel(const Pyplot& py, nb::handle ax, nb::handle drawdown_twin,
                        const char* title, const char* ylabel) {
    reference_line(ax, 0.0);
    ax.attr("set_title")(title);
    ax.attr("set_ylabel")(ylabel);
    ax.attr("yaxis").attr("set_major_formatter")(py.percent());
    drawdown_twin.attr("set_ylabel")("Drawdown");
    drawdown_twin.attr("yaxis").attr("set_major_formatter")(py.percent());
}

void draw_summary_table(nb::handle ax, nb::handle plot_df, nb::handle stats, nb::handle yearly,
                        const ChartArgs& args, long rolling_window, bool is_long) {
    ax.attr("axis")("off");
    nb::object index = plot_df.attr("index");
    const std::size_t n_rows = nb::len(plot_df);
    std::string date_range =
        std::string(orvanta::utf8(index[0].attr("strftime")("%Y-%m-%d"))) + " ~ " +
        std::string(orvanta::utf8(index[nb::int_(n_rows - 1)].attr("strftime")("%Y-%m-%d")));
    nb::object annual_excess =
        nb::len(yearly) > 0 ? nb::object(yearly["extra_daily_return"])
                            : orvanta::import_attr("pandas", "Series")("dtype"_a = "float64");
    auto get = [&](const char* key) { return stats.attr("get")(key); };

    std::vector<std::pair<const char*, std::string>> rows = {
        {"Date Range", date_range},
        {"Trading Days", std::to_string(n_rows)},
        {"Rolling Window", std::to_string(rolling_window)},
        {"Benchmark", std::string(orvanta::utf8(args.benchmark_name))},
        {"Benchmark Ann.", format_pct_points(get("benchmark_annual_return"))},
        {"Benchmark Sharpe", format_num(get("benchmark_sharp"))},
        {"Return Corr.", format_num(get("return_corr"))},
        {"Avg Holding", format_num(get("holding_count"), 0)},
        {"Turnover", format_pct(get("turnover"))},
        {"Excess Win Rate", format_pct(get("excess_win_rate"))},
        {"Annual Excess", format_annual_excess(annual_excess)},
    };
    nb::list cell_text;
    for (auto& [metric, value] : rows) cell_text.append(nb::make_tuple(metric, value));
    nb::list labels = orvanta::str_list({"Metric", "Value"});
    nb::list widths = is_long ? float_list({0.26, 0.74}) : float_list({0.42, 0.58});
    nb::object table =
        ax.attr("table")("cellText"_a = cell_text, "colLabels"_a = labels, "loc"_a = "center",
                         "cellLoc"_a = "left", "colLoc"_a = "left", "colWidths"_a = widths);
    style_table(table, 9.4, 1.28);
}

void plot_strategy_performance_unlocked(nb::handle total, nb::handle stats,
                                        nb::handle strategy_name, nb::handle plot_title,
                                        nb::handle save_path, nb::handle image_kind,
                                        nb::handle benchmark_name, nb::handle rolling_window_arg) {
    orvanta::require_dict(stats, "stats");
    ChartArgs args = check_chart_args(strategy_name, plot_title, image_kind, benchmark_name);
    const long rolling_window =
        static_cast<long>(orvanta::to_int64(rolling_window_arg, "rolling_window"));
    const bool is_long = is_long_layout(args);

    Pyplot py = drawing_preamble();
    nb::object plot_df = global("_with_datetime_index")(total);
    if (nb::cast<bool>(plot_df.attr("empty"))) return;

    nb::object one = nb::int_(1);
    nb::object strategy_cum = plot_df["long"] - one;
    nb::object close_nav = plot_df["close_net_value"];
    nb::object benchmark_cum = close_nav - one;
    nb::object excess_cum = plot_df["extra_return"];
    nb::object strategy_dd = plot_df["max_drowdown"];
    nb::object benchmark_dd = close_nav - close_nav.attr("expanding")().attr("max")();
    nb::object excess_dd = plot_df["extra_max_drowdown"];
    nb::list daily_columns =
        orvanta::str_list({"daily_return", "index_daily_return", "extra_daily_return"});
    nb::object daily = plot_df[daily_columns].attr("copy")();
    nb::object yearly = daily.attr("groupby")(daily.attr("index").attr("year")).attr("sum")();
    nb::object yearly_metrics = calc_yearly_performance_metrics(daily);

    nb::object figure = is_long ? py.plt.attr("figure")("figsize"_a = nb::make_tuple(15.5, 34.0),
                                                        "constrained_layout"_a = false)
                                : py.plt.attr("figure")("figsize"_a = nb::make_tuple(20.0, 13.2),
                                                        "constrained_layout"_a = true);
    Figure fig(py, figure);
    Panels p = make_layout(fig.get(), is_long);
    fig.get().attr("suptitle")(title_text(args, " | Strategy Performance"), "fontsize"_a = 17,
                               "fontweight"_a = "bold", "color"_a = kBenchmarkInk,
                               "y"_a = is_long ? 0.986 : 0.997);

    draw_cards(p.cards, stats);

    nb::object dates = plot_df.attr("index");
    nb::object zero = nb::int_(0);
    p.cum.attr("plot")(dates, strategy_cum, "color"_a = kStrategyBlue, "linewidth"_a = 2.4,
                       "label"_a = "Strategy");
    p.cum.attr("plot")(dates, benchmark_cum, "color"_a = kBenchmarkInk, "linewidth"_a = 1.7,
                       "linestyle"_a = "--", "label"_a = benchmark_name);
    nb::object cum_dd = p.cum.attr("twinx")();
    // The drawdown twin sits behind the return lines; the host's background is hidden so
    // the fills show through it.
    cum_dd.attr("set_zorder")(p.cum.attr("get_zorder")() - one);
    p.cum.attr("patch").attr("set_visible")(false);
    cum_dd.attr("fill_between")(dates, zero, as_floats(strategy_dd), "color"_a = kStrategyDrawdown,
                                "alpha"_a = 0.28, "zorder"_a = 0, "label"_a = "Strategy Drawdown");
    cum_dd.attr("fill_between")(
        dates, zero, as_floats(benchmark_dd), "color"_a = "#d1d5db", "alpha"_a = 0.24,
        "zorder"_a = 0, "label"_a = std::string(orvanta::utf8(benchmark_name)) + " Drawdown");
    label_return_panel(py, p.cum, cum_dd, "Cumulative Return", "Return");
    cum_dd.attr("grid")(false);
    cum_dd.attr("spines")["top"].attr("set_visible")(false);
    merged_legend(p.cum, cum_dd, "upper left");

    p.excess.attr("plot")(dates, excess_cum, "color"_a = kExcessRed, "linewidth"_a = 2.2,
                          "label"_a = "Excess Return");
    nb::object excess_2 = p.excess.attr("twinx")();
    excess_2.attr("fill_between")(dates, zero, as_floats(excess_dd), "color"_a = "#fecaca",
                                  "alpha"_a = 0.34, "label"_a = "Excess Drawdown");
    label_return_panel(py, p.excess, excess_2, "Excess Return & Drawdown", "Excess Return");
    merged_legend(p.excess, excess_2, "upper left");

    draw_yearly_bars(py, p.year, yearly, benchmark_name);
    draw_rolling(py, p.rolling, daily);

    p.drawdown.attr("fill_between")(dates, zero, as_floats(strategy_dd),
                                    "color"_a = kStrategyDrawdown, "alpha"_a = 0.62,
                                    "label"_a = "Strategy Drawdown");
    p.drawdown.attr("plot")(dates, excess_dd, "color"_a = kExcessRed, "linewidth"_a = 1.7,
                            "label"_a = "Excess Drawdown");
    reference_line(p.drawdown, 0.0);
    p.drawdown.attr("set_title")("Drawdown");
    p.drawdown.attr("yaxis").attr("set_major_formatter")(py.percent());
    p.drawdown.attr("legend")("loc"_a = "lower left", "frameon"_a = true, "framealpha"_a = 0.92);

    draw_summary_table(p.table, plot_df, stats, yearly, args, rolling_window, is_long);
    draw_yearly_metrics_table(p.yearly_table, yearly_metrics);
    axis_finish({p.cum, p.excess, p.year, p.rolling, p.drawdown});
    fig.save(save_path, is_long, 0.06, 0.94, 0.965, 0.035);
}

nb::dict plot_strategy_performance(nb::handle total, nb::handle stats, nb::handle strategy_name,
                                   nb::handle plot_title, nb::handle save_path,
                                   nb::handle image_kind, nb::handle benchmark_name,
                                   nb::handle rolling_window) {
    orvanta::require_dict(stats, "stats");
    check_chart_args(strategy_name, plot_title, image_kind, benchmark_name);
    nb::int_ window = orvanta::to_int(rolling_window, "rolling_window");
    {
        PlotLock lock;
        global("_plot_strategy_performance_unlocked")(
            "total"_a = total, "stats"_a = stats, "strategy_name"_a = strategy_name,
            "plot_title"_a = plot_title, "save_path"_a = save_path, "image_kind"_a = image_kind,
            "benchmark_name"_a = benchmark_name, "rolling_window"_a = window);
    }
    nb::dict out;
    out["main"] = nb::str(save_path);
    return out;
}

}  // namespace

void register_performance_chart(nb::module_& m) {
    m.def("plot_strategy_performance", &plot_strategy_performance, "total"_a.none(),
          "stats"_a.none(), "strategy_name"_a.none() = "strategy",
          "plot_title"_a.none() = nb::none(), "save_path"_a.none() = "./strategy_backtest.png",
          "image_kind"_a.none() = "large", "benchmark_name"_a.none() = "000852",
          "rolling_window"_a.none() = 0,
          "Draw the strategy performance chart to ``save_path`` (PNG) and return\n"
          "{\"main\": str(save_path)}.\n\n"
          "Holds _MATPLOTLIB_PLOT_LOCK while drawing. ``image_kind`` \"large\" gives the wide\n"
          "layout, any other string the tall one. An empty ``total`` writes no file.");
    m.def("_plot_strategy_performance_unlocked", &plot_strategy_performance_unlocked,
          "total"_a.none(), "stats"_a.none(), "strategy_name"_a.none(), "plot_title"_a.none(),
          "save_path"_a.none(), "image_kind"_a.none(), "benchmark_name"_a.none(),
          "rolling_window"_a.none(),
          "Draw the strategy performance chart; the caller holds _MATPLOTLIB_PLOT_LOCK.");
}

}  // namespace vantor
