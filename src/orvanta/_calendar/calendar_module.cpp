// orvanta._calendar: the A-share trading calendar, one GET request per question.
#include <nanobind/nanobind.h>

#include "orvanta/args.h"
#include "orvanta/pycall.h"
#include "orvanta/service.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

struct CalendarService {};

orvanta::Pinned api_prefix;
orvanta::Pinned normalize_date;

nb::object to_date(nb::handle s) {
    orvanta::require_str(s, "s");
    return orvanta::import_attr("datetime", "date").attr("fromisoformat")(s);
}

nb::object ask(nb::handle self, const char* suffix, const nb::dict& params) {
    nb::str path = orvanta::api_path(nb::borrow<nb::str>(api_prefix.get()), suffix);
    return orvanta::http_of(self).attr("get")(path, "params"_a = params);
}

nb::list get_trading_dates(nb::handle self, nb::handle start_date, nb::handle end_date) {
    nb::dict params;
    params["start_date"] = normalize_date(start_date);
    params["end_date"] = normalize_date(end_date);
    nb::object data = ask(self, "/calendar/trading-dates", params);
    nb::list out;
    for (nb::handle item : orvanta::records_of(data, "items", nullptr)) out.append(to_date(item));
    return out;
}

// The answer is {"date": text} or the text itself.
nb::object offset_date(nb::handle self, const char* suffix, nb::handle current_date, nb::handle n) {
    nb::int_ count = orvanta::to_int(n, "n");
    nb::dict params;
    params["date"] = normalize_date(current_date);
    params["n"] = count;
    nb::object data = ask(self, suffix, params);
    if (PyDict_Check(data.ptr())) return to_date(data["date"]);
    return to_date(data);
}

nb::object get_previous_trading_date(nb::handle self, nb::handle current_date, nb::handle n) {
    return offset_date(self, "/calendar/previous", current_date, n);
}

nb::object get_next_trading_date(nb::handle self, nb::handle current_date, nb::handle n) {
    return offset_date(self, "/calendar/next", current_date, n);
}

bool is_trading_date(nb::handle self, nb::handle current_date) {
    nb::dict params;
    params["date"] = normalize_date(current_date);
    nb::object data = ask(self, "/calendar/is-trading-date", params);
    if (PyDict_Check(data.ptr())) return orvanta::truthy(data.attr("get")("is_trading", false));
    return orvanta::truthy(data);
}

}  // namespace

NB_MODULE(_calendar, m) {
    m.doc() = "The A-share trading calendar of the data service.";
    api_prefix.set(orvanta::import_http_names(m));
    orvanta::import_date_names(m, normalize_date);

    m.def("_to_date", &to_date, "s"_a.none(), "The date of an ISO text \"YYYY-MM-DD\".");

    orvanta::bind_service<CalendarService>(m, "CalendarService", "交易日历查询服务。")
        .def("get_trading_dates", &get_trading_dates, "start_date"_a.none(), "end_date"_a.none(),
             "All trading days from ``start_date`` to ``end_date``, both included, in\n"
             "ascending order, as ``datetime.date`` objects.")
        .def("get_previous_trading_date", &get_previous_trading_date, "current_date"_a.none(),
             "n"_a.none() = 1,
             "The ``n``-th trading day before ``current_date`` (which never counts).")
        .def("get_next_trading_date", &get_next_trading_date, "current_date"_a.none(),
             "n"_a.none() = 1,
             "The ``n``-th trading day after ``current_date`` (which never counts).")
        .def("is_trading_date", &is_trading_date, "current_date"_a.none(),
             "Whether ``current_date`` is a trading day.");
}
