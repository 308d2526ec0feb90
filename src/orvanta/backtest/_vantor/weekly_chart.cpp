// The weekly chart: strategy, benchmark and excess net values sampled on Fridays, their
// drawdowns on those samples, and the yearly metrics table of the daily data.
#include <string>

#include "charts.h"
#include "orvanta/args.h"
#include "orvanta/pycall.h"
#include "report.h"

namespace vantor {

namespace {

using namespace nb::literals;
using orvanta::float_list;

nb::object drawdown_of(nb::handle nav) { return nav - nav.attr("expanding")().attr("max")(); }

void plot_weekly_net_value_unlocked(nb::handle total, nb::handle strategy_name,
                                    nb::handle plot_title, nb::handle save_path,
                                    nb::handle image_kind, nb::handle benchmark_name) {
    ChartArgs args = check_chart_args(strategy_name, plot_title, image_kind, benchmark_name);
    const bool is_long = is_long_layout(args);

    Pyplot py = drawing_preamble();
    nb::object weekly = build_weekly_net_value_frame(total);
    if (nb::cast<bool>(weekly.attr("empty"))) return;

    nb::list daily_columns =
        orvanta::str_list({"daily_return", "index_daily_return", "extra_daily_return"});
    nb::object daily = global("_with_datetime_index")(total)[daily_columns].attr("copy")();
    nb::object yearly_metrics = calc_yearly_performance_metrics(daily);
    nb::object strategy_nav = weekly["long"];
    nb::object benchmark_nav = weekly["close_net_value"];
    nb::object excess_nav = weekly["extra_net_value"];
    nb::object strategy_dd = drawdown_of(strategy_nav);
    nb::object benchmark_dd = drawdown_of(benchmark_nav);
    nb::object excess_dd = drawdown_of(excess_nav);

    nb::object ax_nav, ax_dd, ax_yearly_table;
    nb::object figure;
    if (is_long) {
        figure = py.plt.attr("figure")("figsize"_a = nb::make_tuple(15.5, 12.4),
                                       "constrained_layout"_a = false);
    } else {
        figure = py.plt.attr("figure")("figsize"_a = nb::make_tuple(19.0, 9.2),
                                       "constrained_layout"_a = true);
    }
    Figure fig(py, figure);
    if (is_long) {
        nb::object gs = fig.get().attr("add_gridspec")(
            3, 1, "height_ratios"_a = float_list({3.1, 1.45, 1.9}), "hspace"_a = 0.34);
        ax_nav = fig.get().attr("add_subplot")(grid_cell(gs, 0, 1, 0, 1));
        ax_dd = fig.get().attr("add_subplot")(grid_cell(gs, 1, 2, 0, 1), "sharex"_a = ax_nav);
        ax_yearly_table = fig.get().attr("add_subplot")(grid_cell(gs, 2, 3, 0, 1));
    } else {
        nb::object gs =
            fig.get().attr("add_gridspec")(2, 2, "width_ratios"_a = float_list({2.25, 1.05}),
                                           "height_ratios"_a = float_list({3.05, 1.75}));
        ax_nav = fig.get().attr("add_subplot")(grid_cell(gs, 0, 1, 0, 2));
        ax_dd = fig.get().attr("add_subplot")(grid_cell(gs, 1, 2, 0, 1), "sharex"_a = ax_nav);
        ax_yearly_table = fig.get().attr("add_subplot")(grid_cell(gs, 1, 2, 1, 2));
    }
    nb::kwargs title_style;
    title_style["fontsize"] = 16;
    title_style["fontweight"] = "bold";
    title_style["color"] = kBenchmarkInk;
    // Constrained layout reserves room only for a title it places itself: pinned at
    // y = 0.995, the wide title was drawn over the net value panel's own title.
    if (is_long) title_style["y"] = 0.985;
    fig.get().attr("suptitle")(title_text(args, " | Weekly Net Value"), **title_style);

    const std::string bench(orvanta::utf8(benchmark_name));
    nb::object dates = weekly.attr("index");
    ax_nav.attr("plot")(dates, strategy_nav, "color"_a = kStrategyBlue, "linewidth"_a = 2.4,
                        "label"_a = "Strategy NAV");
    ax_nav.attr("plot")(dates, benchmark_nav, "color"_a = kBenchmarkInk, "linewidth"_a = 1.8,
                        "linestyle"_a = "--", "label"_a = bench + " NAV");
    ax_nav.attr("plot")(dates, excess_nav, "color"_a = kExcessRed, "linewidth"_a = 2.0,
                        "alpha"_a = 0.92, "label"_a = "Excess NAV");
    reference_line(ax_nav, 1.0, 0.9);
    ax_nav.attr("set_ylabel")("Net Value");
    ax_nav.attr("set_title")("Weekly Net Value");
    ax_nav.attr("legend")("loc"_a = "best", "frameon"_a = true, "framealpha"_a = 0.92);

    ax_dd.attr("fill_between")(
        dates, nb::int_(0), strategy_dd.attr("to_numpy")("dtype"_a = "float64"),
        "color"_a = kStrategyDrawdown, "alpha"_a = 0.58, "label"_a = "Strategy Drawdown");
    ax_dd.attr("plot")(dates, benchmark_dd, "color"_a = kBenchmarkInk, "linewidth"_a = 1.25,
                       "alpha"_a = 0.76, "label"_a = bench + " Drawdown");
    ax_dd.attr("plot")(dates, excess_dd, "color"_a = kExcessRed, "linewidth"_a = 1.45,
                       "alpha"_a = 0.86, "label"_a = "Excess Drawdown");
    reference_line(ax_dd, 0.0);
    ax_dd.attr("set_title")("Weekly Drawdown");
    ax_dd.attr("set_ylabel")("Drawdown");
    ax_dd.attr("yaxis").attr("set_major_formatter")(py.percent());
    ax_dd.attr("legend")("loc"_a = "lower left", "frameon"_a = true, "framealpha"_a = 0.92,
                         "ncol"_a = 3);

    draw_yearly_metrics_table(ax_yearly_table, yearly_metrics);
    axis_finish({ax_nav, ax_dd});
    fig.save(save_path, is_long, 0.065, 0.965, 0.94, 0.055);
}

nb::dict plot_weekly_net_value(nb::handle total, nb::handle strategy_name, nb::handle plot_title,
                               nb::handle save_path, nb::handle image_kind,
                               nb::handle benchmark_name) {
    check_chart_args(strategy_name, plot_title, image_kind, benchmark_name);
    {
        PlotLock lock;
        global("_plot_weekly_net_value_unlocked")(
            "total"_a = total, "strategy_name"_a = strategy_name, "plot_title"_a = plot_title,
            "save_path"_a = save_path, "image_kind"_a = image_kind,
            "benchmark_name"_a = benchmark_name);
    }
    nb::dict out;
    out["weekly_net_value"] = nb::str(save_path);
    return out;
}

}  // namespace

void register_weekly_chart(nb::module_& m) {
    m.def("plot_weekly_net_value", &plot_weekly_net_value, "total"_a.none(),
          "strategy_name"_a.none() = "strategy", "plot_title"_a.none() = nb::none(),
          "save_path"_a.none() = "./strategy_weekly_net_value.png", "image_kind"_a.none() = "large",
          "benchmark_name"_a.none() = "000852",
          "Draw the weekly net value chart to ``save_path`` (PNG) and return\n"
          "{\"weekly_net_value\": str(save_path)}.\n\n"
          "Holds _MATPLOTLIB_PLOT_LOCK while drawing; an empty ``total`` writes no file.");
    m.def("_plot_weekly_net_value_unlocked", &plot_weekly_net_value_unlocked, "total"_a.none(),
          "strategy_name"_a.none(), "plot_title"_a.none(), "save_path"_a.none(),
          "image_kind"_a.none(), "benchmark_name"_a.none(),
          "Draw the weekly net value chart; the caller holds _MATPLOTLIB_PLOT_LOCK.");
}

}  // namespace vantor
