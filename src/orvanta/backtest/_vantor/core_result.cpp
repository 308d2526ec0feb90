// _StrategyCoreResult: the plain dataclass a backtest run returns. Built with
// dataclasses.make_dataclass at import so it is a true dataclass (fields, eq, repr, pickling
// by module path) rather than an extension type imitating one.
#include "orvanta/pycall.h"
#include "registry.h"

using namespace nanobind::literals;

namespace vantor {

namespace {

const char* const kResultDoc =
    "策略回测内部结果对象。\n"
    "\n"
    "所有字段均为内部结果，策略服务据此对象构建 StrategyBacktestResult 响应。";

nb::tuple field(const char* name, nb::handle type) { return nb::make_tuple(name, type); }

}  // namespace

void register_core_result(nb::module_& m) {
    nb::object pd = m.attr("pd");
    nb::handle str_type = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    nb::handle dict_type = reinterpret_cast<PyObject*>(&PyDict_Type);
    nb::list fields;
    fields.append(field("strategy_name", str_type));
    fields.append(field("daily_return", pd.attr("Series")));
    fields.append(field("cumulative_return", pd.attr("Series")));
    fields.append(field("stats", dict_type));
    fields.append(field("benchmark_summary", pd.attr("DataFrame")));
    fields.append(field("plot_paths", dict_type[nb::make_tuple(str_type, str_type)]));

    nb::dict namespace_;
    namespace_["__doc__"] = kResultDoc;
    namespace_["__module__"] = m.attr("__name__");
    m.attr("_StrategyCoreResult") = orvanta::import_attr("dataclasses", "make_dataclass")(
        "_StrategyCoreResult", fields, "namespace"_a = namespace_);
}

}  // namespace vantor
