// Benchmark daily-return series from one index daily-bar query.
#include <array>

#include "orvanta/args.h"
#include "orvanta/pycall.h"
#include "prepare.h"

namespace prepare {

using namespace nb::literals;

namespace {

bool has_column(nb::handle frame, const char* name) {
    return orvanta::contains(frame.attr("columns"), nb::str(name));
}

nb::object to_numeric(nb::handle values) {
    return pandas().attr("to_numeric")(values, "errors"_a = "coerce");
}

}  // namespace

nb::dict read_benchmark_dict(nb::handle self) {
    nb::dict codes = nb::borrow<nb::dict>(module_attr("BENCHMARK_INDEX_CODES"));
    nb::list ukeys;
    for (auto [name, code] : codes) ukeys.append(code);
    nb::object df = sdk_client().attr("get_marketbar")(
        "ukeys"_a = ukeys, "start_date"_a = self.attr("default_start"),
        "end_date"_a = self.attr("end_date"));
    nb::dict out;
    for (auto [name, code] : codes) {
        out[name] = self.attr("_format_benchmark_daily_return")(df, name, code);
    }
    return out;
}

nb::object format_benchmark_daily_return(nb::handle /*self*/, nb::handle df,
                                         nb::handle benchmark_name, nb::handle index_code) {
    orvanta::require_str(benchmark_name, "benchmark_name");
    orvanta::require_str(index_code, "index_code");
    if (!has_rows(df)) {
        raise_key_error(nb::str("基准日频数据为空: {} ({})").format(benchmark_name, index_code));
    }
    nb::object frame = df.attr("copy")();
    if (has_column(frame, "date")) {
        nb::dict rename;
        rename["date"] = "DataDate";
        frame = frame.attr("rename")("columns"_a = rename);
    }
    if (!has_column(frame, "DataDate")) {
        raise_key_error(nb::str("{} 基准缺少 DataDate 列").format(benchmark_name));
    }
    frame["DataDate"] = series_to_yyyymmdd(frame["DataDate"]);
    nb::list date_only;
    date_only.append("DataDate");
    // A stable sort keeps rows of the same date in service order, so "keep the last"
    // below means the last one the service sent.
    frame = frame.attr("dropna")("subset"_a = date_only)
                .attr("sort_values")("DataDate", "kind"_a = "stable");
    if (has_column(frame, "ukey")) {
        frame["ukey"] = frame["ukey"].attr("astype")(nb::str("str"));
        frame = frame.attr("loc")[frame["ukey"].attr("__eq__")(index_code)];
    }
    if (!has_column(frame, "daily_return")) {
        static constexpr std::array<const char*, 4> candidates = {"return", "returns",
                                                                  "pct_change", "change_rate"};
        bool found = false;
        for (const char* candidate : candidates) {
            if (has_column(frame, candidate)) {
                frame["daily_return"] = to_numeric(frame[candidate]);
                found = true;
                break;
            }
        }
        if (!found) {
            if (!has_column(frame, "close")) {
                raise_key_error(nb::str("{} 基准缺少 daily_return/close 列").format(benchmark_name));
            }
            frame["daily_return"] =
                to_numeric(frame["close"]).attr("pct_change")("fill_method"_a = nb::none());
        }
    }
    frame["daily_return"] = to_numeric(frame["daily_return"]);
    nb::list subset;
    if (has_column(frame, "ukey")) subset.append("ukey");
    subset.append("DataDate");
    if (nb::len(subset) > 1) {
        frame = frame.attr("drop_duplicates")("subset"_a = subset, "keep"_a = "last");
    }
    frame = frame.attr("drop_duplicates")("subset"_a = date_only, "keep"_a = "last");
    nb::object series = frame.attr("set_index")("DataDate")["daily_return"];
    return series.attr("rename")("index_daily_return").attr("dropna")().attr("sort_index")();
}

}  // namespace prepare
