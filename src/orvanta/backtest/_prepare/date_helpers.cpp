// Converters between the date forms in play: YYYYMMDD text (store, builder), YYYY-MM-DD
// text (factor queries) and the 8-digit form of the "ddb" data system.
#include <algorithm>
#include <cctype>
#include <string>

#include "orvanta/args.h"
#include "orvanta/pycall.h"
#include "prepare.h"

namespace prepare {

using namespace nb::literals;

nb::object series_to_yyyymmdd(nb::handle values) {
    nb::object pd = pandas();
    nb::object input = nb::borrow(values);
    nb::object is_series = pd.attr("Series");
    // Plain sequences get a dtype (and so an integer check) the way pandas would give them.
    if (PyList_Check(values.ptr()) || PyTuple_Check(values.ptr()) ||
        nb::isinstance(input, orvanta::import_attr("numpy", "ndarray"))) {
        input = pd.attr("Series")(input);
    }
    nb::object parsed;
    // pandas reads integers as nanoseconds since 1970, which turns every YYYYMMDD integer
    // into 1970-01-01; integers here are YYYYMMDD dates.
    if (nb::cast<bool>(pd.attr("api").attr("types").attr("is_integer_dtype")(input))) {
        parsed = pd.attr("to_datetime")(input.attr("astype")(nb::str("str")),
                                        "format"_a = "%Y%m%d", "errors"_a = "coerce");
    } else {
        parsed = pd.attr("to_datetime")(input, "errors"_a = "coerce");
    }
    if (!nb::isinstance(parsed, is_series)) parsed = pd.attr("Series")(parsed);
    return parsed.attr("dt").attr("strftime")("%Y%m%d");
}

nb::object normalize_ddb_backtest_date(nb::handle date_value) {
    if (date_value.is_none()) return nb::none();
    nb::str text = nb::str(date_value);
    std::string raw(orvanta::utf8(text));
    // A 7-digit date lost its last digit somewhere upstream; the ddb side expects a 0 there.
    if (nb::len(text) == 7 &&
        std::all_of(raw.begin(), raw.end(), [](unsigned char c) { return std::isdigit(c); })) {
        return orvanta::to_str(raw.substr(0, 6) + raw.substr(6, 1) + "0");
    }
    return std::move(text);
}

nb::object ov_factor_date(nb::handle date_value) {
    orvanta::require_str(date_value, "date_value", orvanta::None::allowed);
    nb::object value = module_attr("normalize_yyyymmdd")(date_value);
    orvanta::require_str(value, "normalize_yyyymmdd(date_value)", orvanta::None::allowed);
    if (value.is_none()) return nb::none();
    nb::object stamp = pandas().attr("to_datetime")(value, "format"_a = "%Y%m%d");
    return stamp.attr("strftime")("%Y-%m-%d");
}

}  // namespace prepare
