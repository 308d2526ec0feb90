// orvanta._marketbar: daily bars of market indices, an Arrow stream decoded while it arrives.
#include <nanobind/nanobind.h>

#include "orvanta/service.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

struct IndexDailyService {};

orvanta::Pinned api_prefix;
orvanta::Pinned normalize_date;

// No rows: the stream's own columns and types.
nb::object no_bars(nb::handle schema) { return schema.attr("empty_table")().attr("to_pandas")(); }

nb::object get_marketbar(nb::handle self, nb::handle ukeys, nb::handle fields,
                         nb::handle start_date, nb::handle end_date) {
    nb::object ids_list = orvanta::to_str_list(ukeys);
    nb::object fields_list = orvanta::to_str_list(fields);
    nb::dict body;
    orvanta::put_if_truthy(body, "ukeys", ids_list);
    orvanta::put_if_truthy(body, "fields", fields_list);
    orvanta::put_date_range(body, start_date, end_date, normalize_date);

    return orvanta::query_stream_frame(self, api_prefix, "/index-daily/stream", body,
                                       &no_bars);
}

}  // namespace

NB_MODULE(_marketbar, m) {
    m.doc() = "Daily bars of market indices from the data service.";
    api_prefix.set(orvanta::import_http_names(m));
    orvanta::import_date_names(m, normalize_date);
    orvanta::import_stream_names(m);

    orvanta::bind_service<IndexDailyService>(m, "IndexDailyService", "指数日线行情查询服务。")
        .def("get_marketbar", &get_marketbar, "ukeys"_a.none(), "fields"_a.none() = nb::none(),
             "start_date"_a.none() = nb::none(), "end_date"_a.none() = nb::none(),
             "Daily bars of indices as a wide table: date, ukey, then the bar columns.\n\n"
             "``ukeys``: full index codes with exchange suffix (\"000001.XSHG\"), one or a\n"
             "list. ``fields``: the columns to return (\"close\" or [\"open\", \"close\"]);\n"
             "omitted or empty means all. ``start_date``, ``end_date``: int YYYYMMDD, str,\n"
             "date, datetime or pandas Timestamp; an omitted ``end_date`` means the\n"
             "service's default upper bound.\n\n"
             "Without rows the result is an empty frame with the stream's columns.");
}
