// Factor names, index codes and dataset keys the module works with, and the parser that
// turns user-given name lists into clean lists.
#include <array>
#include <string>

#include "orvanta/args.h"
#include "orvanta/pycall.h"
#include "prepare.h"

namespace prepare {

namespace {

constexpr const char* kFloat = "float64";
constexpr const char* kBool = "bool";

constexpr std::array<const char*, 5> kComponentNames = {
    "rq_index_components_new_000300.XSHG", "rq_index_components_new_000905.XSHG",
    "rq_index_components_new_000852.XSHG", "rq_index_components_new_399303.XSHE",
    "rq_index_components_new_932000.INDX"};
constexpr std::array<const char*, 7> kRequired = {
    "rq_industry_exposure_new", "limit_down", "limit_up", "Close", "Open",
    "tick_vwap_price_935_1005", "tick_vwap_price_925_1000"};
constexpr std::array<const char*, 3> kOptional = {"split_coefficient_to", "rq_get_dividend",
                                                  "rq_is_suspended"};
constexpr std::array<std::pair<const char*, const char*>, 3> kBenchmarks = {
    {{"000852", "000852.XSHG"}, {"000300", "000300.XSHG"}, {"000905", "000905.XSHG"}}};
constexpr std::array<std::pair<const char*, const char*>, 12> kBaseDtype = {{
    {"industry_matrix", kFloat},
    {"close_price", kFloat},
    {"open_price", kFloat},
    {"close_price_valid", kFloat},
    {"prev_close", kFloat},
    {"buy_price", kFloat},
    {"sell_price", kFloat},
    {"rq_get_split", kFloat},
    {"rq_get_dividend", kFloat},
    {"can_buy_stock", kBool},
    {"cant_sell_stock", kBool},
    {"forward_return_rank_cache", kFloat},
}};

template <size_t N>
nb::list to_list(const std::array<const char*, N>& names) {
    nb::list out;
    for (const char* name : names) out.append(nb::str(name));
    return out;
}

// "，", "；", ";" and newlines all separate names, like ",".
std::string unify_separators(std::string text) {
    static const std::array<std::string, 4> separators = {"\xef\xbc\x8c", "\xef\xbc\x9b", ";",
                                                          "\n"};
    for (const std::string& sep : separators) {
        for (size_t pos = text.find(sep); pos != std::string::npos; pos = text.find(sep, pos)) {
            text.replace(pos, sep.size(), ",");
            pos += 1;
        }
    }
    return text;
}

void append_stripped(nb::list& out, nb::handle value) {
    nb::object text = nb::str(value).attr("strip")();
    if (nb::len(text) > 0) out.append(text);
}

}  // namespace

void add_name_constants(nb::module_& m) {
    nb::object path = orvanta::import_attr("pathlib", "Path");
    nb::object union_ = orvanta::import_attr("typing", "Union");
    m.attr("PathLike") = union_[nb::make_tuple(orvanta::import_attr("builtins", "str"), path)];
    m.attr("FLOAT_STORAGE_DTYPE") = kFloat;
    m.attr("BOOL_STORAGE_DTYPE") = kBool;
    m.attr("TAIL_RELOAD_ROWS") = 2;
    m.attr("PREPARED_DATA_VERSION") = 1;
    m.attr("COMPONENT_FACTOR_NAMES") = to_list(kComponentNames);
    nb::dict benchmarks;
    for (const auto& [name, code] : kBenchmarks) benchmarks[name] = code;
    m.attr("BENCHMARK_INDEX_CODES") = benchmarks;
    nb::list required = to_list(kRequired);
    nb::list optional = to_list(kOptional);
    m.attr("REQUIRED_FACTOR_NAMES") = required;
    m.attr("OPTIONAL_FACTOR_NAMES") = optional;
    nb::list build_inputs;
    for (nb::handle name : required) build_inputs.append(name);
    for (nb::handle name : optional) build_inputs.append(name);
    m.attr("BUILD_INPUT_NAMES") = build_inputs;
    nb::dict base;
    for (const auto& [key, dtype] : kBaseDtype) base[key] = dtype;
    m.attr("BASE_MATRIX_DTYPE") = base;
}

nb::list parse_name_list(nb::handle raw_values) {
    nb::list out;
    if (raw_values.is_none()) return out;
    if (PyUnicode_Check(raw_values.ptr())) {
        std::string text = unify_separators(std::string(orvanta::utf8(raw_values)));
        nb::object pieces = orvanta::to_str(text).attr("split")(",");
        for (nb::handle piece : pieces) append_stripped(out, piece);
        return out;
    }
    for (nb::handle value : nb::iter(raw_values)) append_stripped(out, value);
    return out;
}

nb::list get_component_factor_names() {
    return parse_name_list(module_attr("COMPONENT_FACTOR_NAMES"));
}

nb::dict build_matrix_dtype(nb::handle component_names) {
    nb::object base = module_attr("BASE_MATRIX_DTYPE");
    nb::dict matrix_dtype = nb::steal<nb::dict>(PyDict_Copy(base.ptr()));
    if (!matrix_dtype.is_valid()) throw nb::python_error();
    nb::list names = component_names.is_none() ? parse_name_list(get_component_factor_names())
                                               : parse_name_list(component_names);
    nb::object key_of = module_attr("component_dataset_key");
    nb::object float_dtype = module_attr("FLOAT_STORAGE_DTYPE");
    for (nb::handle name : names) matrix_dtype[key_of(name)] = float_dtype;
    return matrix_dtype;
}

}  // namespace prepare
