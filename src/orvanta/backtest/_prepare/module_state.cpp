#include "orvanta/pycall.h"
#include "prepare.h"

namespace prepare {

nb::object module_attr(const char* name) {
    return orvanta::import_attr("orvanta.backtest._prepare", name);
}

nb::object pandas() { return nb::module_::import_("pandas"); }

nb::object empty_frame() { return pandas().attr("DataFrame")(); }

bool has_rows(nb::handle frame) {
    return frame.is_valid() && !frame.is_none() && nb::len(frame) > 0;
}

bool is_network_error(const nb::python_error& error) {
    return error.matches(module_attr("NetworkError"));
}

void raise_key_error(const nb::str& message) {
    PyErr_SetObject(PyExc_KeyError, message.ptr());
    throw nb::python_error();
}

nb::object sdk_client() { return module_attr("get_instance")(); }

}  // namespace prepare
