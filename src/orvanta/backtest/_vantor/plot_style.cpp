// The drawing preamble and the pieces both charts are assembled from.
#include <nanobind/stl/string.h>

#include "charts.h"
#include "orvanta/args.h"
#include "orvanta/pycall.h"
#include "report.h"

namespace vantor {

namespace {

using namespace nb::literals;
using orvanta::None;

}  // namespace

nb::object Pyplot::percent() const { return percent_formatter(1.0); }

Pyplot drawing_preamble() {
    // Imported here, not at module load: a backtest without charts never pays for matplotlib.
    orvanta::import_attr("matplotlib", "use")("Agg");
    Pyplot py;
    py.plt = nb::module_::import_("matplotlib.pyplot");
    py.percent_formatter = orvanta::import_attr("matplotlib.ticker", "PercentFormatter");
    try {
        py.plt.attr("style").attr("use")("seaborn-v0_8-whitegrid");
    } catch (const nb::python_error&) {
        // A missing style leaves the current one in place.
    }
    nb::object rc = py.plt.attr("rcParams");
    rc["font.sans-serif"] = orvanta::str_list({"Noto Sans CJK SC", "Source Han Sans SC",
                                               "WenQuanYi Micro Hei", "SimHei", "Arial Unicode MS",
                                               "DejaVu Sans"});
    rc["axes.unicode_minus"] = false;
    rc["figure.facecolor"] = "white";
    rc["axes.facecolor"] = "#fbfbfd";
    return py;
}

ChartArgs check_chart_args(nb::handle strategy_name, nb::handle plot_title, nb::handle image_kind,
                           nb::handle benchmark_name) {
    orvanta::require_str(strategy_name, "strategy_name");
    orvanta::require_str(plot_title, "plot_title", None::allowed);
    orvanta::require_str(image_kind, "image_kind");
    orvanta::require_str(benchmark_name, "benchmark_name");
    return {nb::borrow(strategy_name), nb::borrow(plot_title), nb::borrow(image_kind),
            nb::borrow(benchmark_name)};
}

bool is_long_layout(const ChartArgs& args) { return orvanta::utf8(args.image_kind) != "large"; }

std::string title_text(const ChartArgs& args, const char* suffix) {
    const bool has_title = !args.plot_title.is_none() && nb::len(args.plot_title) > 0;
    std::string head(orvanta::utf8(has_title ? args.plot_title : args.strategy_name));
    return head + " | Benchmark " + std::string(orvanta::utf8(args.benchmark_name)) + suffix;
}

PlotLock::PlotLock() : lock_(global("_MATPLOTLIB_PLOT_LOCK")) {
    // RLock.acquire lets go of the GIL while it waits.
    lock_.attr("acquire")();
}

PlotLock::~PlotLock() {
    try {
        lock_.attr("release")();
    } catch (...) {
        // Releasing a lock this object acquired cannot fail; nothing to report from here.
    }
}

Figure::Figure(const Pyplot& py, nb::object figure) : plt_(py.plt), figure_(std::move(figure)) {}

Figure::~Figure() {
    try {
        plt_.attr("close")(figure_);
    } catch (...) {
        // Closing is best effort while another error is already on its way out.
    }
}

void Figure::save(nb::handle save_path, bool is_long, double left, double right, double top,
                  double bottom) {
    nb::object facecolor = figure_.attr("get_facecolor")();
    if (is_long) {
        figure_.attr("subplots_adjust")("left"_a = left, "right"_a = right, "top"_a = top,
                                        "bottom"_a = bottom);
        figure_.attr("savefig")(save_path, "dpi"_a = 145, "facecolor"_a = facecolor);
    } else {
        figure_.attr("savefig")(save_path, "dpi"_a = 175, "bbox_inches"_a = "tight",
                                "facecolor"_a = facecolor);
    }
}

nb::object grid_cell(nb::handle gridspec, long r0, long r1, long c0, long c1) {
    return gridspec[nb::make_tuple(nb::slice(nb::int_(r0), nb::int_(r1), nb::none()),
                                   nb::slice(nb::int_(c0), nb::int_(c1), nb::none()))];
}

void reference_line(nb::handle ax, double y, double linewidth) {
    ax.attr("axhline")(y, "color"_a = kReferenceLine, "linewidth"_a = linewidth);
}

void centred_note(nb::handle ax, const char* text) {
    ax.attr("text")(0.5, 0.5, text, "transform"_a = ax.attr("transAxes"), "ha"_a = "center",
                    "va"_a = "center");
}

void merged_legend(nb::handle ax, nb::handle twin, const char* loc) {
    nb::tuple own = nb::borrow<nb::tuple>(ax.attr("get_legend_handles_labels")());
    nb::tuple other = nb::borrow<nb::tuple>(twin.attr("get_legend_handles_labels")());
    ax.attr("legend")(nb::object(own[0]) + nb::object(other[0]),
                      nb::object(own[1]) + nb::object(other[1]), "loc"_a = loc, "frameon"_a = true,
                      "framealpha"_a = 0.92);
}

void axis_finish(std::initializer_list<nb::handle> axes) {
    for (nb::handle ax : axes) {
        ax.attr("grid")(true, "color"_a = "#e5e7eb", "linewidth"_a = 0.75, "alpha"_a = 0.84);
        ax.attr("spines")["top"].attr("set_visible")(false);
        ax.attr("spines")["right"].attr("set_visible")(false);
    }
}

void style_table(nb::handle table, double fontsize, double row_scale, BodyTextColour body_text) {
    table.attr("auto_set_font_size")(false);
    table.attr("set_fontsize")(fontsize);
    table.attr("scale")(1.0, row_scale);
    nb::dict cells = nb::borrow<nb::dict>(table.attr("get_celld")());
    for (auto [key, cell] : cells) {
        const long row = nb::cast<long>(key[0]);
        const long col = nb::cast<long>(key[1]);
        cell.attr("set_edgecolor")("#e2e8f0");
        if (row == 0) {
            cell.attr("set_text_props")("weight"_a = "bold", "color"_a = "#0f172a");
            cell.attr("set_facecolor")("#eef2ff");
            continue;
        }
        cell.attr("set_facecolor")(row % 2 == 1 ? "white" : "#f8fafc");
        if (body_text) {
            if (const char* colour = body_text(col))
                cell.attr("get_text")().attr("set_color")(colour);
        }
    }
}

}  // namespace vantor
