// The module's load-time names, created in this order: its imports (the module keeps them
// as globals, like the Python module it stands in for), the process-wide plot lock and the
// integer constants. A name missing from orvanta.backtest._core makes the import fail.
#include "orvanta/pycall.h"
#include "registry.h"

namespace vantor {

void register_globals(nb::module_& m) {
    m.attr("contextlib") = nb::module_::import_("contextlib");
    m.attr("threading") = nb::module_::import_("threading");
    m.attr("dataclass") = orvanta::from_import("dataclasses", "dataclass");
    m.attr("Path") = orvanta::from_import("pathlib", "Path");
    m.attr("np") = nb::module_::import_("numpy");
    m.attr("pd") = nb::module_::import_("pandas");
    for (const char* name : {"_build_market_arrays", "_with_datetime_index", "safe_sharpe"})
        m.attr(name) = orvanta::from_import("orvanta.backtest._core", name);

    // matplotlib's pyplot state is process-wide, so every chart draws under this one lock.
    m.attr("_MATPLOTLIB_PLOT_LOCK") = m.attr("threading").attr("RLock")();
    m.attr("TRADING_DAYS_PER_YEAR") = 252;
    m.attr("ROLLING_STABILITY_DAYS") = 60;
    m.attr("MIN_ROLLING_STABILITY_DAYS") = 5;
}

nb::object global(const char* name) {
    return orvanta::import_attr("orvanta.backtest._vantor", name);
}

}  // namespace vantor
