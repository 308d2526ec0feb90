// orvanta._stock: the full instrument list of the data service as a three-column frame.
#include <nanobind/nanobind.h>

#include "orvanta/args.h"
#include "orvanta/pycall.h"
#include "orvanta/service.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

struct StockService {};

const char* const INSTRUMENT_COLUMNS[] = {"ukey", "industry_name", "symbol"};

orvanta::Pinned api_prefix;

nb::object to_dataframe(nb::handle items) {
    orvanta::require_list(items, "items");
    nb::object data_frame = orvanta::import_attr("pandas", "DataFrame");
    nb::list columns = orvanta::str_list(INSTRUMENT_COLUMNS);
    if (nb::len(items) == 0) return data_frame("columns"_a = columns);
    nb::object df = data_frame(items);
    nb::object missing = orvanta::import_attr("pandas", "NA");
    for (nb::handle name : columns) {
        if (!orvanta::contains(df.attr("columns"), name)) df[name] = missing;
    }
    return df[columns];
}

nb::object list_stocks(nb::handle self) {
    nb::str path = orvanta::api_path(nb::borrow<nb::str>(api_prefix.get()), "/stocks");
    nb::object data = orvanta::http_of(self).attr("get")(path);
    return to_dataframe(orvanta::records_of(data, "items", "stocks"));
}

}  // namespace

NB_MODULE(_stock, m) {
    m.doc() = "The instrument list of the data service.";
    api_prefix.set(orvanta::import_http_names(m));
    m.attr("INSTRUMENT_COLUMNS") = orvanta::str_list(INSTRUMENT_COLUMNS);

    m.def("_to_dataframe", &to_dataframe, "items"_a.none(),
          "Records as a frame with exactly the columns ukey, industry_name, symbol;\n"
          "a missing key gives pd.NA, other keys are dropped.");

    orvanta::bind_service<StockService>(m, "StockService", "股票/合约信息查询服务。")
        .def("list_stocks", &list_stocks,
             "All instruments the service knows, as a frame with the columns ukey,\n"
             "industry_name and symbol. Filter it yourself, e.g. the Shenzhen codes by\n"
             "``df[df[\"ukey\"].str.endswith(\".SZ\")]``.");
}
