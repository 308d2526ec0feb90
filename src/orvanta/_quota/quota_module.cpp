// orvanta._quota: the user's data-traffic quota at the data service.
#include <nanobind/nanobind.h>

#include "orvanta/pycall.h"
#include "orvanta/service.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

struct QuotaService {};

const char* const PUBLIC_INT_FIELDS[] = {"daily_quota_bytes", "daily_used_bytes",
                                         "extra_quota_bytes", "available_bytes"};

orvanta::Pinned api_prefix;

// int(value), as Python's int() does it: decimal texts are parsed, floats cut toward zero.
nb::object as_int(nb::handle value) {
    PyObject* converted = PyNumber_Long(value.ptr());
    if (!converted) throw nb::python_error();
    return nb::steal(converted);
}

nb::dict get_quota(nb::handle self) {
    nb::str path = orvanta::api_path(nb::borrow<nb::str>(api_prefix.get()), "/quota");
    nb::object data = orvanta::http_of(self).attr("get")(path);
    nb::dict result;
    if (!PyDict_Check(data.ptr())) return result;
    for (const char* name : PUBLIC_INT_FIELDS) {
        nb::str key(name);
        if (orvanta::contains(data, key)) result[key] = as_int(data[key]);
    }
    nb::str remaining_days("remaining_days");
    if (orvanta::contains(data, remaining_days)) {
        nb::object value = data[remaining_days];
        result[remaining_days] = value.is_none() ? nb::none() : as_int(value);
    }
    nb::str license_type("license_type");
    if (orvanta::contains(data, license_type)) {
        nb::object value = data[license_type];
        PyObject* text = PyObject_Str(value.ptr());
        if (!text) throw nb::python_error();
        result[license_type] = nb::steal(text);
    }
    return result;
}

// Quota is a typed dict (every key optional); typing builds it, the keys in this order.
nb::object make_quota_type() {
    nb::object int_type = nb::borrow(reinterpret_cast<PyObject*>(&PyLong_Type));
    nb::object str_type = nb::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    nb::dict fields;
    for (const char* name : PUBLIC_INT_FIELDS) fields[name] = int_type;
    fields["remaining_days"] = orvanta::import_attr("typing", "Optional")[int_type];
    fields["license_type"] = str_type;
    nb::object quota =
        orvanta::import_attr("typing", "TypedDict")("Quota", fields, "total"_a = false);
    quota.attr("__module__") = "orvanta._quota";
    quota.attr("__doc__") =
        "The user's data-traffic quota; every key is optional.\n\n"
        "daily_quota_bytes: today's base allowance in bytes (reset the next day).\n"
        "daily_used_bytes: traffic used today in bytes (reset the next day).\n"
        "extra_quota_bytes: bytes left in extension packs, which never expire.\n"
        "available_bytes: bytes available now, all layers combined, minus used and frozen.\n"
        "remaining_days: days left in the plan; None for a plan without end.\n"
        "license_type: the name of the plan.";
    return quota;
}

}  // namespace

NB_MODULE(_quota, m) {
    m.doc() = "The user's data-traffic quota at the data service.";
    api_prefix.set(orvanta::import_http_names(m));
    m.attr("_PUBLIC_INT_FIELDS") = nb::tuple(orvanta::str_list(PUBLIC_INT_FIELDS));
    m.attr("Quota") = make_quota_type();

    orvanta::bind_service<QuotaService>(m, "QuotaService", "用户配额查询服务。")
        .def("get_quota", &get_quota,
             "The current user's quota (a Quota dict): only the keys the service sent,\n"
             "integers as int, remaining_days None for a plan without end.");
}
