// What the two charts share: argument checks, the plot lock, the drawing preamble, the title,
// the axis finish, table styling, and a figure that is closed however drawing ends.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <initializer_list>
#include <string>

#include "registry.h"

namespace vantor {

namespace nb = nanobind;

// Shared colours.
inline constexpr const char* kStrategyBlue = "#2563eb";
inline constexpr const char* kBenchmarkInk = "#111827";
inline constexpr const char* kExcessRed = "#ef4444";
inline constexpr const char* kStrategyDrawdown = "#bfdbfe";
inline constexpr const char* kReferenceLine = "#94a3b8";

// pyplot and PercentFormatter, after the Agg backend, style and rcParams are set.
struct Pyplot {
    nb::object plt;
    nb::object percent_formatter;
    nb::object percent() const;  // PercentFormatter(1.0): a ratio 0.25 reads 25%
};
Pyplot drawing_preamble();

// Argument rules common to both charts (stats and rolling_window are the main chart's own).
struct ChartArgs {
    nb::object strategy_name;
    nb::object plot_title;
    nb::object image_kind;
    nb::object benchmark_name;
};
ChartArgs check_chart_args(nb::handle strategy_name, nb::handle plot_title, nb::handle image_kind,
                           nb::handle benchmark_name);
bool is_long_layout(const ChartArgs& args);

// "<plot_title or strategy_name> | Benchmark <benchmark_name><suffix>".
std::string title_text(const ChartArgs& args, const char* suffix);

// Holds _MATPLOTLIB_PLOT_LOCK for its lifetime (the lock is re-entrant).
class PlotLock {
   public:
    PlotLock();
    ~PlotLock();
    PlotLock(const PlotLock&) = delete;
    PlotLock& operator=(const PlotLock&) = delete;

   private:
    nb::object lock_;
};

// A pyplot figure that is closed when the owner goes out of scope, so a failure while
// drawing or saving leaves no figure registered with pyplot.
class Figure {
   public:
    Figure(const Pyplot& py, nb::object figure);
    ~Figure();
    Figure(const Figure&) = delete;
    Figure& operator=(const Figure&) = delete;

    nb::handle get() const { return figure_; }
    // Tall layout: fixed margins, the whole figure at 145 dpi; wide: 175 dpi, tight box.
    void save(nb::handle save_path, bool is_long, double left, double right, double top,
              double bottom);

   private:
    nb::object plt_;
    nb::object figure_;
};

// gridspec[r0:r1, c0:c1]
nb::object grid_cell(nb::handle gridspec, long r0, long r1, long c0, long c1);

void reference_line(nb::handle ax, double y, double linewidth = 0.8);
// `text` in the middle of a panel that has nothing to show.
void centred_note(nb::handle ax, const char* text);
// One legend on `ax` with its own entries first and then the twin's.
void merged_legend(nb::handle ax, nb::handle twin, const char* loc);
void axis_finish(std::initializer_list<nb::handle> axes);

// Fixed font size and row scale; header bold on "#eef2ff", body stripes white / "#f8fafc"
// starting under the header, light cell edges. `body_text` gives a body column's text colour
// (nullptr keeps the default).
using BodyTextColour = const char* (*)(long column);
void style_table(nb::handle table, double fontsize, double row_scale,
                 BodyTextColour body_text = nullptr);

void draw_yearly_metrics_table(nb::handle ax, nb::handle yearly_metrics);

}  // namespace vantor
