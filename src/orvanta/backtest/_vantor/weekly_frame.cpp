// The weekly (Friday) samples of the net value columns that the weekly chart draws.
#include "orvanta/pycall.h"
#include "report.h"

namespace vantor {

namespace {

using namespace nb::literals;

}  // namespace

nb::object build_weekly_net_value_frame(nb::handle total) {
    nb::module_ pd = nb::module_::import_("pandas");
    nb::object plot_df = global("_with_datetime_index")(total);
    if (nb::cast<bool>(plot_df.attr("empty"))) return pd.attr("DataFrame")();

    nb::list sampled = orvanta::str_list({"long", "close_net_value", "extra_return"});
    // Bins run Saturday..Friday and carry their Friday; last() takes each column's last
    // non-missing value in the bin, resample's own semantics.
    nb::object weekly = orvanta::infinities_to_nan(plot_df[sampled])
                            .attr("resample")("W-FRI")
                            .attr("last")()
                            .attr("dropna")("how"_a = "all");
    if (nb::cast<bool>(weekly.attr("empty"))) return weekly;

    weekly = weekly.attr("assign")("extra_net_value"_a = weekly["extra_return"] + nb::int_(1));
    nb::list subset = orvanta::str_list({"long", "close_net_value", "extra_net_value"});
    return weekly.attr("dropna")("subset"_a = subset, "how"_a = "all");
}

void register_weekly_frame(nb::module_& m) {
    m.def("_build_weekly_net_value_frame", &build_weekly_net_value_frame, "total"_a.none(),
          "Weekly samples (bins ending on Friday, last value of each column) of long,\n"
          "close_net_value and extra_return, plus extra_net_value = extra_return + 1.");
}

}  // namespace vantor
