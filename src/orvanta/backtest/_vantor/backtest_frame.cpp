// The unified backtest table: net values, drawdowns and excess returns derived once from
// the joined strategy and benchmark daily returns, for the statistics and charts to read.
// Returns are simple returns on the fixed initial capital, so net values are sums.
#include <cmath>
#include <cstdint>
#include <vector>

#include "kernels/cumulative.h"
#include "orvanta/arrays.h"
#include "orvanta/pycall.h"
#include "registry.h"

using namespace nanobind::literals;

namespace vantor {

namespace {

namespace k = orvanta::kernels;

// A fresh float64 vector of n values and a pointer to write them.
struct Column {
    nb::object array;
    double* data;
    explicit Column(std::int64_t n)
        : array(orvanta::empty_vector(n, "float64")), data(orvanta::f64_data(array)) {}
};

struct Input {
    nb::object array;
    const double* data;
    Input(nb::handle frame, const char* name)
        : array(orvanta::f64_values(frame[name])), data(orvanta::f64_data(array)) {}
};

nb::object build_total_backtesting_frame(nb::handle total_backtesting) {
    nb::object total = total_backtesting.attr("copy")().attr("dropna")();
    const auto n = static_cast<std::int64_t>(nb::len(total));
    if (n == 0) return total;
    auto set = [&total](const char* name, const Column& column) {
        total[name] = column.array;
    };

    const Input strategy(total, "daily_return");
    const Input benchmark(total, "index_daily_return");
    Column extra_daily(n), nav(n), close_net_value(n), close_proxy(n);
    bool close_missing = false;
    const bool has_close = orvanta::contains(total.attr("columns"), nb::str("close"));
    {
        nb::gil_scoped_release unlocked;  // arrays owned by this frame
        for (std::int64_t i = 0; i < n; ++i)
            extra_daily.data[i] = strategy.data[i] - benchmark.data[i];
        k::cumulative_sum(strategy.data, n, nav.data);
        for (std::int64_t i = 0; i < n; ++i) nav.data[i] += 1.0;
        const double base = nav.data[0];
        for (std::int64_t i = 0; i < n; ++i) nav.data[i] /= base;
    }
    set("extra_daily_return", extra_daily);
    set("long", nav);

    if (has_close) {
        const Input close(total, "close");
        const double first_close = close.data[0];
        if (!std::isnan(first_close) && first_close != 0.0) {
            for (std::int64_t i = 0; i < n; ++i)
                close_net_value.data[i] = close.data[i] / first_close;
        } else {
            // No usable base level: fall back to the summed benchmark returns, unrescaled.
            k::cumulative_sum(benchmark.data, n, close_net_value.data);
            for (std::int64_t i = 0; i < n; ++i) close_net_value.data[i] += 1.0;
        }
    } else {
        close_missing = true;
        k::cumulative_sum(benchmark.data, n, close_proxy.data);
        for (std::int64_t i = 0; i < n; ++i) close_proxy.data[i] += 1.0;
        const double base = close_proxy.data[0];
        for (std::int64_t i = 0; i < n; ++i) close_net_value.data[i] = close_proxy.data[i] / base;
    }
    set("close_net_value", close_net_value);
    if (close_missing) set("close", close_proxy);

    Column max_drawdown(n), extra_return(n), extra_drawdown(n);
    {
        nb::gil_scoped_release unlocked;
        k::drawdown_from_peak(nav.data, n, max_drawdown.data);
        k::cumulative_sum(extra_daily.data, n, extra_return.data);
        const double base = extra_return.data[0];
        for (std::int64_t i = 0; i < n; ++i) extra_return.data[i] -= base;
        std::vector<double> extra_level(static_cast<size_t>(n));
        for (std::int64_t i = 0; i < n; ++i)
            extra_level[static_cast<size_t>(i)] = extra_return.data[i] + 1.0;
        k::drawdown_from_peak(extra_level.data(), n, extra_drawdown.data);
    }
    set("max_drowdown", max_drawdown);
    set("extra_return", extra_return);
    set("extra_max_drowdown", extra_drawdown);
    return total;
}

}  // namespace

void register_backtest_frame(nb::module_& m) {
    m.def("_build_total_backtesting_frame", &build_total_backtesting_frame,
          "total_backtesting"_a.none(),
          "Derive the unified backtest table from daily strategy and benchmark returns.\n\n"
          "Rows with any NaN are dropped; then extra_daily_return, long, close_net_value\n"
          "(and close when missing), max_drowdown, extra_return and extra_max_drowdown are\n"
          "added. An input with no complete row comes back empty, without new columns.");
}

}  // namespace vantor
