// orvanta._factor: factor values (an Arrow stream decoded while it arrives) and the list of
// factors the data service knows.
#include <nanobind/nanobind.h>

#include "orvanta/pycall.h"
#include "orvanta/service.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

struct FactorService {};

const char* const FACTOR_COLUMNS[] = {"date", "ukey", "value", "factor"};
const char* const PUBLIC_FACTOR_META_FIELDS[] = {"factorname", "startDate", "endDate"};

orvanta::Pinned api_prefix;
orvanta::Pinned normalize_date;

// Fixed columns, whatever the stream's schema says.
nb::object no_factors(nb::handle) {
    return orvanta::import_attr("pandas",
                                "DataFrame")("columns"_a = orvanta::str_list(FACTOR_COLUMNS));
}

nb::object get_factors(nb::handle self, nb::handle ukeys, nb::handle factor, nb::handle start_date,
                       nb::handle end_date) {
    nb::object ids_list = orvanta::to_str_list(ukeys);
    nb::object factor_list = orvanta::to_str_list(factor);
    nb::dict body;
    orvanta::put_if_truthy(body, "factor", factor_list);
    orvanta::put_if_truthy(body, "ukeys", ids_list);
    orvanta::put_date_range(body, start_date, end_date, normalize_date);

    return orvanta::query_stream_frame(self, api_prefix, "/factors/stream", body, &no_factors);
}

nb::list list_factors(nb::handle self) {
    nb::str path = orvanta::api_path(nb::borrow<nb::str>(api_prefix.get()), "/factors");
    nb::object data = orvanta::http_of(self).attr("get")(path);
    nb::list out;
    for (nb::handle record : orvanta::records_of(data, "items", "factors")) {
        nb::dict meta;
        for (const char* key : PUBLIC_FACTOR_META_FIELDS) {
            nb::str name(key);
            if (orvanta::contains(record, name)) meta[name] = record[name];
        }
        out.append(meta);
    }
    return out;
}

}  // namespace

NB_MODULE(_factor, m) {
    m.doc() = "Factor values and the factor list of the data service.";
    api_prefix.set(orvanta::import_http_names(m));
    orvanta::import_date_names(m, normalize_date);
    orvanta::import_stream_names(m);

    nb::list public_fields = orvanta::str_list(PUBLIC_FACTOR_META_FIELDS);
    m.attr("_PUBLIC_FACTOR_META_FIELDS") = nb::tuple(public_fields);

    orvanta::bind_service<FactorService>(m, "FactorService", "因子数据查询服务。")
        .def("get_factors", &get_factors, "ukeys"_a.none() = nb::none(),
             "factor"_a.none() = nb::none(), "start_date"_a.none() = nb::none(),
             "end_date"_a.none() = nb::none(),
             "Factor values as a narrow table with the columns date, ukey, value, factor.\n\n"
             "``ukeys``: one stock code or a list (six digits, with or without exchange\n"
             "suffix); None means the whole market (at most 100 codes per request).\n"
             "``factor``: one factor name or a list (1 to 20), required by the service.\n"
             "``start_date`` (required by the service) and ``end_date`` (default: today):\n"
             "int YYYYMMDD, str, date, datetime or pandas Timestamp.\n\n"
             "The answer is decoded in memory while it arrives; nothing is written to disk.\n"
             "Without rows the result is an empty frame with the four columns.")
        .def("list_factors", &list_factors,
             "The factors the service knows: one dict per factor holding only\n"
             "\"factorname\", \"startDate\" and \"endDate\" (those present).");
    nb::list all;
    all.append("FactorService");
    m.attr("__all__") = all;
}
