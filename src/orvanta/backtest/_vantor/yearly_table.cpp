// The per-year metrics table shown by both charts: strategy figures in blue, excess in red.
#include <string>

#include "charts.h"
#include "orvanta/pycall.h"
#include "report.h"

namespace vantor {

namespace {

using namespace nb::literals;

const char* yearly_text_colour(long column) {
    if (column >= 1 && column <= 4) return "#1d4ed8";
    if (column >= 5 && column <= 8) return "#b91c1c";
    return nullptr;
}

struct MetricColumn {
    const char* label;
    const char* key;
    bool percent;
};

const MetricColumn kMetricColumns[] = {
    {"Strategy Return", "strategy_return", true}, {"Strategy Sharpe", "strategy_sharpe", false},
    {"Strategy Max DD", "strategy_max_dd", true}, {"Strategy Calmar", "strategy_calmar", false},
    {"Excess Return", "excess_return", true},     {"Excess Sharpe", "excess_sharpe", false},
    {"Excess Max DD", "excess_max_dd", true},     {"Excess Calmar", "excess_calmar", false},
};

}  // namespace

void draw_yearly_metrics_table(nb::handle ax, nb::handle yearly_metrics) {
    ax.attr("axis")("off");
    if (nb::len(yearly_metrics) == 0) {
        centred_note(ax, "No yearly metric data");
        return;
    }
    nb::list rows;
    for (nb::handle pair : yearly_metrics.attr("iterrows")()) {
        nb::object year = pair[0];
        nb::object row = pair[1];
        nb::list cells;
        cells.append(nb::str(orvanta::import_attr("builtins", "int")(year)));
        for (const MetricColumn& column : kMetricColumns) {
            nb::object value = row[column.key];
            cells.append(column.percent ? format_pct(value) : format_num(value));
        }
        rows.append(cells);
    }
    nb::list labels;
    nb::list widths;
    labels.append("Year");
    widths.append(0.08);
    for (const MetricColumn& column : kMetricColumns) {
        labels.append(column.label);
        widths.append(0.115);
    }
    nb::object table =
        ax.attr("table")("cellText"_a = rows, "colLabels"_a = labels, "loc"_a = "center",
                         "cellLoc"_a = "center", "colLoc"_a = "center", "colWidths"_a = widths);
    style_table(table, 8.4, 1.24, &yearly_text_colour);
    ax.attr("set_title")("Yearly Strategy & Excess Metrics", "fontsize"_a = 11.5,
                         "color"_a = "#0f172a", "pad"_a = 8);
}

void register_yearly_table(nb::module_& m) {
    m.def("_draw_yearly_metrics_table", &draw_yearly_metrics_table, "ax"_a.none(),
          "yearly_metrics"_a.none(),
          "Draw the per-year strategy and excess metrics as a nine-column table on ``ax``\n"
          "(switched off); an empty frame shows \"No yearly metric data\".");
}

}  // namespace vantor
